// The package version, shared by `package provide`, `gimg version` and `rimage version`.
#pragma once

#define KREL_VERSION "3.4"
