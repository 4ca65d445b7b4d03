#!/bin/sh
# seeds-etran.sh DIR SRCDIR
# Expressions of every kind of token, and some broken ones.
dir=$1
i=0
while IFS= read -r line; do
    i=$((i + 1))
    printf '%s' "$line" > "$dir/expr$i.txt"
done <<'END'
a = b + c * d
v1 = (a + b * c - d) / (e - f * 2.5); v2 = v1 max 3
x = -a ^ -2 + {b idiv 1.5e-3} % c rand d
m = a >= b & c <= d | e == f xor g < h ! > 1
q = init a initx inity initxy ring lini b neg c min d
r = f(a,-b) + 1E+5
a + (b
a + ) b
;;; a ;
(((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((a)))))))))))))))))))))))))))))))))))))))))))))))))))))))))))))))))
END
