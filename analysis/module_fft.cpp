// The Fourier modules: makefft (run as `calc makefft`) transforms one image
// band into a new FFT file; gfftrans (`rimage gfftrans`) transforms along
// rows, columns or both, forward or back, converts between real/imaginary
// and power/phase form and filters spectra. Both write a complete new file
// beside the target and rename it over the target when done, so a failed or
// cancelled run leaves the target as it was, and one file may be input and
// output at once.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "analysis/fft_passes.h"
#include "analysis/modules.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "core/texts.h"
#include "image/formats/formats.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "image/registry.h"
#include "platform/files.h"

namespace krel {

namespace {

// The output of a run: a new FFT file beside the target, which takes the
// target's name only once it is complete. Dropped unfinished, it is removed.
class FFTTarget {
public:
    ~FFTTarget()
    {
        if (fd_ >= 0) close(fd_);
        if (!temp_.empty()) unlink(temp_.c_str());
    }
    // The descriptor of the new file with `head` written, or -1 (printed).
    int create(const std::string &target, FFTHeader *head)
    {
        target_ = target;
        struct stat st;
        const bool existed = stat(target.c_str(), &st) == 0;
        static unsigned serial = 0;
        for (int attempt = 0; attempt < 100 && temp_.empty(); ++attempt) {
            std::string name = target + ".new" + std::to_string(getpid()) + "." + std::to_string(serial++);
            int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                if (existed && fchmod(fd, st.st_mode & 07777) != 0) errno = 0;
                close(fd);
                temp_ = name;
            } else if (errno != EEXIST) {
                break;
            }
        }
        if (temp_.empty()) {
            conEprintf("%s: %s\n", target.c_str(), strerror(errno));
            return -1;
        }
        fd_ = createFFTFile(temp_.c_str(), head);
        return fd_;
    }
    // Completes the statistics and the header and puts the file in place; an
    // image open on the target then reads the new file.
    bool commit(FFTHeader *head)
    {
        finishFFTStats(head);
        if (PutFFTHead(head, fd_) != 0) return false;
        if (close(fd_) != 0) {
            fd_ = -1;
            conEprintf("%s: %s\n", temp_.c_str(), strerror(errno));
            return false;
        }
        fd_ = -1;
        if (rename(temp_.c_str(), target_.c_str()) != 0) {
            conEprintf("%s: %s\n", target_.c_str(), strerror(errno));
            return false;
        }
        temp_.clear();
        if (RamImage *img = findByFile(target_.c_str())) {
            int error = IMGERR_OK;
            if (openImageFile(target_.c_str(), nullptr, img, &error)) notifyClients(img, -1, NOTIFY_CONFIG);
        }
        return true;
    }

private:
    std::string target_, temp_;
    int fd_ = -1;
};

// Bands of a raw image as the modules count them: a colour index image has
// the three of its palette.
int sourceBands(const RamImage *img)
{
    return img->def.nindices > 0 && img->def.nbands == 1 ? 3 : img->def.nbands;
}

FFTImageSource imageSource(RamImage *img, int band)
{
    FFTImageSource s;
    s.image = img;
    s.band = band;
    s.palette = img->def.nindices > 0 && img->def.nbands == 1;
    return s;
}

void resetStats(FFTHeader *head)
{
    const double inf = std::numeric_limits<double>::infinity();
    head->count = 0;
    head->meanReal = head->meanImag = head->sqReal = head->sqImag = 0;
    head->maxReal = head->maxImag = -inf;
    head->minReal = head->minImag = inf;
}

// Ends a run of the passes (1 done, 0 failed, -1 cancelled): the meter, the
// cancel message, and the new file put in place once the input is let go.
int endRun(int rc, FFTPasses &passes, ModuleImage &input, FFTTarget &target, FFTHeader *head,
           const char *cancelled)
{
    if (rc == 1 && passes.writeOut() != 0) rc = 0;
    if (rc == 1) passes.finishMeter();
    meterReset();
    if (rc < 0) {
        conPrintf("%s", cancelled);
        return MODULE_DONE;
    }
    if (rc == 0) return MODULE_FAILED;
    input.release();
    return target.commit(head) ? MODULE_DONE : MODULE_FAILED;
}

// ---- makefft ----------------------------------------------------------------

void makefftUsage()
{
    static const char *const lines[] = {
        "Usage: makefft in=IN out=OUT b=BAND op=OPT\n",
        "    where\n",
        "    IN     the input image file;\n",
        "    OUT    the output FFT format image file;\n",
        "    BAND   the band of the input image.\n",
        "    OPT    the option of FFT: X, or Y or XY (default).\n",
    };
    for (const char *line : lines) conPrintf("%s", line);
}

}  // namespace

int makefftModule(const char * /*prog*/, int argc, const char **argv)
{
    if (argc <= 0) {
        makefftUsage();
        return MODULE_USAGE;
    }
    conPrintf("%s", texts::kMakefftBanner);
    const char *in = nullptr, *out = nullptr, *band = nullptr, *op = nullptr;
    for (int i = 0; i < argc; ++i) {
        const char *w = argv[i];
        if (strncmp(w, "in=", 3) == 0) in = w + 3;
        else if (strncmp(w, "out=", 4) == 0) out = w + 4;
        else if (strncmp(w, "b=", 2) == 0) band = w + 2;
        else if (strncmp(w, "op=", 3) == 0) op = w + 3;
    }
    if (!in) {
        conEprintf("Input File Missing!\n");
        return MODULE_FAILED;
    }
    if (!out) {
        conEprintf("Output File Missing!\n");
        return MODULE_FAILED;
    }
    const long b = band ? optionInt(band, 1) : 1;
    int kind = FFT_SFRI;
    if (op && strcasecmp(op, "XY") != 0) {
        if (strcasecmp(op, "X") == 0) {
            kind = FFT_SFRIX;
        } else if (strcasecmp(op, "Y") == 0) {
            kind = FFT_SFRIY;
        } else {
            conEprintf("Undefined operation.\n");
            return MODULE_FAILED;
        }
    }
    conPrintf("band %ld\n", b);
    ModuleImage img(openModuleInput(in, "Error in open %s.\n"));
    if (!img) return MODULE_FAILED;
    if (b < 1 || b > sourceBands(img.get())) {
        conEprintf("Illegal Band Number!\n");
        return MODULE_FAILED;
    }
    FFTHeader head;
    initFFTHeader(&head, img->def.file, static_cast<int>(b), img->def.rows, img->def.columns, kind);
    FFTTarget target;
    const int fd = target.create(out, &head);
    if (fd < 0) return MODULE_FAILED;
    FFTPasses passes(&head, fd, "makefft", true);
    const bool rows = kind != FFT_SFRIY, columns = kind != FFT_SFRIX;
    if (!passes.prepare(1, columns ? 1 : 0)) {
        conEprintf("%s", texts::kAllocateMemmory);
        return MODULE_FAILED;
    }
    // The statistics describe what the file holds: they are folded in the
    // last pass only. A column-only transform first writes the padded rows
    // as they are.
    FFTPassSteps rowSteps;
    rowSteps.transform = rows ? 1 : 0;
    rowSteps.fold = !columns;
    int rc = passes.rowPass(imageSource(img.get(), static_cast<int>(b) - 1), rowSteps);
    if (rc == 1 && columns) {
        FFTPassSteps columnSteps;
        columnSteps.transform = 1;
        columnSteps.fold = true;
        rc = passes.columnPass(columnSteps);
    }
    return endRun(rc, passes, img, target, &head, "makefft canceled...\n");
}

// ---- gfftrans ---------------------------------------------------------------

namespace {

enum FFTOp { OP_NONE, OP_XRI, OP_YRI, OP_XYRI, OP_XPP, OP_YPP, OP_XYPP, OP_RI, OP_PP, OP_XY, OP_XX, OP_YY, OP_FLTR };

const char *const kOpNames[] = {"",   "XRI", "YRI", "XYRI", "XPP", "YPP", "XYPP",
                                "RI", "PP",  "XY",  "XX",   "YY",  "FLTR"};

// What the samples of a kind hold: each axis transformed or not, and the form.
struct KindState {
    bool x, y, pp;
};

KindState stateOf(int kind)
{
    switch (kind) {
    case FFT_SFRI: return {true, true, false};
    case FFT_SFPP: return {true, true, true};
    case FFT_FSPP: return {false, false, true};
    case FFT_SFRIX: return {true, false, false};
    case FFT_SFRIY: return {false, true, false};
    case FFT_SFPPX: return {true, false, true};
    case FFT_SFPPY: return {false, true, true};
    default: return {false, false, false};  // INIT, FSRI
    }
}

void gfftransUsage(const char *prog)
{
    conPrintf("Usage: %s -in IN -out OUT -op OP -b BAND -fp FP -fa FA\n", prog);
    static const char *const lines[] = {
        "where IN    imageID of the input image\n",
        "      OUT   imageID of the output FFT image\n",
        texts::kGfftransOpsUsage,
        "      BAND  band number\n",
        "      FP    filter parameters:\n",
        "                bell,r,n;\n",
        "                high,r,n,amp;\n",
        "                notch,r,n,amp,x,y\n",
        "      FA    rotation angle of the filter\n",
    };
    for (const char *line : lines) conPrintf("%s", line);
}

// The kind a spatial input (a raw image, INIT, FSRI, FSPP) turns into, or -1
// for FLTR.
int forwardKind(FFTOp op)
{
    switch (op) {
    case OP_XRI: return FFT_SFRIX;
    case OP_YRI: return FFT_SFRIY;
    case OP_XPP: return FFT_SFPPX;
    case OP_YPP: return FFT_SFPPY;
    case OP_XYPP: return FFT_SFPP;
    case OP_XY:
    case OP_XX:
    case OP_YY:
    case OP_RI: return FFT_FSRI;
    case OP_PP: return FFT_FSPP;
    case OP_FLTR: return -1;
    default: return FFT_SFRI;  // XYRI or none
    }
}

// The kind an FFT input of `kind` turns into under `op`, or -1 with the
// refusal printed.
int nextKind(int kind, FFTOp op)
{
    if (op == OP_RI && (kind == FFT_SFRI || kind == FFT_FSRI || kind == FFT_SFRIX || kind == FFT_SFRIY)) {
        conEprintf("Input FFT is already in {real,image} format.\n");
        return -1;
    }
    if (op == OP_PP && (kind == FFT_SFPP || kind == FFT_FSPP || kind == FFT_SFPPX || kind == FFT_SFPPY)) {
        conEprintf("Input FFT is already in {power,phase} format.\n");
        return -1;
    }
    switch (kind) {
    case FFT_INIT:
    case FFT_FSRI:
    case FFT_FSPP:
        if (op == OP_FLTR) {
            conEprintf("Input image must be a frequency domain image.\n");
            return -1;
        }
        return forwardKind(op);
    case FFT_SFRI:
    case FFT_SFPP:
        switch (op) {
        case OP_XRI: return FFT_SFRIY;
        case OP_YRI: return FFT_SFRIX;
        case OP_NONE:
        case OP_XYRI: return FFT_FSRI;
        case OP_XPP: return FFT_SFPPY;
        case OP_YPP: return FFT_SFPPX;
        case OP_XYPP: return FFT_FSPP;
        case OP_RI: return FFT_SFRI;
        case OP_PP: return FFT_SFPP;
        case OP_FLTR: return kind;
        default: conEprintf("Invalid op for a SFRI or SFPP image.\n"); return -1;
        }
    case FFT_SFRIX:
    case FFT_SFPPX:
        switch (op) {
        case OP_NONE:
        case OP_XRI: return FFT_FSRI;
        case OP_YRI: return FFT_SFRI;
        case OP_XPP: return FFT_FSPP;
        case OP_YPP: return FFT_SFPP;
        case OP_RI: return FFT_SFRIX;
        case OP_PP: return FFT_SFPPX;
        case OP_FLTR: return kind;
        default: conEprintf("Invalid op for a SFRIX or SFPPX image.\n"); return -1;
        }
    case FFT_SFRIY:
    case FFT_SFPPY:
        switch (op) {
        case OP_XRI: return FFT_SFRI;
        case OP_NONE:
        case OP_YRI: return FFT_FSRI;
        case OP_XPP: return FFT_SFPP;
        case OP_YPP: return FFT_FSPP;
        case OP_RI: return FFT_SFRIY;
        case OP_PP: return FFT_SFPPY;
        default: conEprintf("Invalid op for a SFRIY or a SFPPY image.\n"); return -1;
        }
    default:
        conEprintf("Must be SFRI[X|Y], SFPP[X|Y], FSRI, FSPP or INIT file!\n");
        return -1;
    }
}

// The filter axes of samples transformed along x, y or both.
int axesOf(const KindState &s) { return s.x && s.y ? 3 : s.x ? 1 : 2; }

// Checks an existing output: it must be an FFT file of the padded size.
bool outputFits(const std::string &path, int rows, int columns)
{
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::Read);
    FFTHeader head;
    return fd && platform::readAt(fd.get(), &head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           validFFTHeader(head, platform::fileSize(fd.get())) && head.rows == rows && head.columns == columns;
}

}  // namespace

int gfftransModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr}, {"-out", nullptr}, {"-b", nullptr}, {"-op", nullptr},
                           {"-fp", nullptr}, {"-fa", nullptr},  {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, gfftransUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const char *inName = opt("-in");
    if (!inName) {
        conEprintf("Input image missing!\n");
        return MODULE_FAILED;
    }
    const char *outName = opt("-out");
    if (!outName) {
        conEprintf("Output image missing!\n");
        return MODULE_FAILED;
    }
    FFTOp op = OP_NONE;
    if (const char *o = opt("-op")) {
        for (int k = OP_XRI; k <= OP_FLTR; ++k)
            if (strcasecmp(o, kOpNames[k]) == 0) op = static_cast<FFTOp>(k);
        if (op == OP_NONE) {
            conEprintf("Undefined operation: -op %s\n", o);
            return MODULE_FAILED;
        }
    }

    // The input: a raw image band, or an FFT file read directly.
    ModuleImage in(openModuleInput(inName, "Error in open %s.\n"));
    if (!in) return MODULE_FAILED;
    const bool fftInput = in->def.imgid == IMG_FFT;
    FFTHeader inHead, head;
    int band = 0, inKind = FFT_INIT, outKind;
    if (!fftInput) {
        band = optionInt(opt("-b"), 1);
        if (band < 1 || band > sourceBands(in.get())) {
            conEprintf("Wrong band number: %d (max bands: %d).\n", band, sourceBands(in.get()));
            return MODULE_FAILED;
        }
        if (op == OP_FLTR) {
            conEprintf("Invalid op for a raw image.\n");
            return MODULE_FAILED;
        }
        outKind = forwardKind(op);
        initFFTHeader(&head, in->def.file, band, in->def.rows, in->def.columns, outKind);
    } else {
        flushImage(in.get());
        if (platform::readAt(in->fileHandle, &inHead, sizeof inHead, 0) != static_cast<ssize_t>(sizeof inHead) ||
            !validFFTHeader(inHead, platform::fileSize(in->fileHandle))) {
            conEprintf("Not an FFT image file!\n");
            return MODULE_FAILED;
        }
        inKind = inHead.kind;
        if ((op == OP_XY || op == OP_XX || op == OP_YY) && inKind != FFT_INIT && inKind != FFT_FSRI &&
            inKind != FFT_FSPP) {
            conEprintf("Input image must be INIT, FSPP, or FSRI.\n");
            return MODULE_FAILED;
        }
        if ((outKind = nextKind(inKind, op)) < 0) return MODULE_FAILED;
        head = inHead;
        head.kind = outKind;
        resetStats(&head);
    }

    // The output: an existing one must be an FFT file of this size.
    std::string outPath = outName;
    if (RamImage *t = findByTag(outName)) outPath = t->def.file;
    struct stat st;
    if (stat(outPath.c_str(), &st) == 0 && !outputFits(outPath, head.rows, head.columns)) {
        conEprintf("Wrong type of output file.\n");
        return MODULE_FAILED;
    }

    // The filter.
    const bool filtered = op == OP_XY || op == OP_XX || op == OP_YY || op == OP_FLTR;
    FFTFilter filter;
    const char *fp = opt("-fp");
    if (filtered && !fp) {
        conEprintf("Missing filter specification!\n");
        return MODULE_FAILED;
    }
    if ((op == OP_RI || op == OP_PP) && fp) {
        conEprintf("Filter is not allowed for the specified op.\n");
        return MODULE_FAILED;
    }
    if (fp && !filter.parse(fp)) {
        conEprintf("Invalid filter specification.\n");
        return MODULE_FAILED;
    }
    filter.setAngle(optionDouble(opt("-fa"), 0.0));

    // The passes: a row pass from the input, then the column pass and, for
    // XY, the inverse row pass in place.
    const KindState from = stateOf(inKind), to = stateOf(outKind);
    FFTPassSteps first, second, third;
    int columnPasses = 0, rowPasses = 1;
    first.fromPP = from.pp;
    if (op == OP_XY || op == OP_XX || op == OP_YY) {
        if (op == OP_XY) {
            first.transform = 1;
            second = {false, 1, &filter, 3, true, false, false};
            third.transform = -1;
            third.fold = true;
            columnPasses = 1;
            rowPasses = 2;
        } else if (op == OP_XX) {
            first.transform = 1;
            first.filter = &filter;
            first.filterAxes = 1;
            first.thenInverse = true;
            first.fold = true;
        } else {
            second = {false, 1, &filter, 2, true, false, true};
            columnPasses = 1;
        }
    } else {
        first.transform = from.x == to.x ? 0 : (to.x ? 1 : -1);
        const int columnTransform = from.y == to.y ? 0 : (to.y ? 1 : -1);
        columnPasses = columnTransform != 0 ? 1 : 0;
        FFTPassSteps &last = columnPasses ? second : first;
        second.transform = columnTransform;
        last.toPP = to.pp;
        last.fold = true;
        // A filter works on a spectrum: the one FLTR gets, or the one the
        // transforms of the op leave (along the axes still transformed); an
        // output wholly back in the spatial domain has none.
        if (fp) {
            if (op == OP_FLTR || to.x || to.y) {
                last.filter = &filter;
                last.filterAxes = op == OP_FLTR ? axesOf(from) : axesOf(to);
            } else {
                conEprintf("wrong type of FFT image for filtering.\n");
                return MODULE_FAILED;
            }
        }
    }

    FFTTarget target;
    const int fd = target.create(outPath, &head);
    if (fd < 0) {
        conEprintf("Error in creating %s.\n", outName);
        return MODULE_FAILED;
    }
    FFTPasses passes(&head, fd, "gfftrans", false);
    if (!passes.prepare(rowPasses, columnPasses)) {
        conEprintf("Error in allocGFFT!\n");
        return MODULE_FAILED;
    }
    int rc = fftInput ? passes.rowPass(inHead, in->fileHandle, first)
                      : passes.rowPass(imageSource(in.get(), band - 1), first);
    if (rc == 1 && columnPasses) rc = passes.columnPass(second);
    if (rc == 1 && rowPasses == 2) rc = passes.rowPass(head, fd, third);
    return endRun(rc, passes, in, target, &head, "rimage gfftrans canceled...\n");
}

}  // namespace krel
