// The console program of calc geocalc: a command loop over the GCP store
// (load, save, list, enter, select, unselect, fit, grid, help, quit) reading
// the console line by line; the end of the console's input ends it too.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/conio.h"
#include "core/package.h"
#include "image/goerechd.h"
#include "platform/files.h"
#include "script/geocalc.h"

namespace krel {

namespace {

constexpr int kListPage = 20;
constexpr long kMaxGridPoints = 4000000;

// One console line without its line end; false at the end of the input.
bool readLine(std::string *line)
{
    int n = 0;
    const char *text = conGets(&n);
    if (!text) {
        line->clear();
        return !consoleInputEnded();
    }
    line->assign(text, static_cast<size_t>(n));
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
    return true;
}

// Asks a question; the answer line, false at the end of the input.
bool ask(const char *prompt, std::string *answer)
{
    conPrintf("%s", prompt);
    return readLine(answer);
}

bool yes(const std::string &answer)
{
    size_t i = answer.find_first_not_of(" \t");
    return i != std::string::npos && (answer[i] == 'Y' || answer[i] == 'y');
}

// Asks until two numbers (blank- or comma-separated) are given.
bool askPair(const char *prompt, double *a, double *b)
{
    std::string line;
    while (ask(prompt, &line)) {
        if (sscanf(line.c_str(), "%lf%*[ \t,]%lf", a, b) == 2 && std::isfinite(*a) && std::isfinite(*b)) return true;
        conPrintf("Invalid input!");
    }
    return false;
}

std::vector<std::string> words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The text after the command word: a file name that may hold blanks.
std::string argumentText(const std::string &line)
{
    size_t start = line.find_first_not_of(" \t");
    size_t gap = line.find_first_of(" \t", start);
    if (gap == std::string::npos) return "";
    size_t first = line.find_first_not_of(" \t", gap);
    if (first == std::string::npos) return "";
    size_t last = line.find_last_not_of(" \t");
    return line.substr(first, last - first + 1);
}

void loadGcps(const std::string &file)
{
    if (file.empty()) {
        conPrintf("Usage: load FILE\n");
        return;
    }
    if (platform::isSpecialFile(file.c_str())) {
        conEprintf("Error in open %s\n", file.c_str());
        return;
    }
    std::ifstream in(file);
    if (!in) {
        conEprintf("Error in open %s\n", file.c_str());
        return;
    }
    std::vector<Gcp> gcps;
    for (std::string line; std::getline(in, line);) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Gcp g{};
        g.selected = 1;
        if (sscanf(line.c_str(), "%d %lf %lf %lf %lf", &g.id, &g.x1, &g.y1, &g.x2, &g.y2) != 5) {
            conEprintf("Invalid record:\n%s\n", line.c_str());
            continue;
        }
        if (gcps.size() == kMaxGcps) {
            conEprintf("GCP number overflow.\n");
            return;
        }
        gcps.push_back(g);
    }
    GeocalcState &state = geocalcState();
    state.gcps = std::move(gcps);
    state.fitted = false;
    conPrintf("%d GCPs loaded.\n", static_cast<int>(state.gcps.size()));
}

// Writes a text file whole; the reason on the console on failure.
bool writeText(const std::string &file, const std::string &text)
{
    if (platform::writeWholeFile(file.c_str(), text.data(), text.size())) return true;
    conEprintf("Error in writing %s: %s\n", file.c_str(), strerror(errno));
    return false;
}

// False when the input ended during the question.
bool saveGcps(const std::string &file)
{
    if (file.empty()) {
        conPrintf("Usage: save FILE\n");
        return true;
    }
    if (access(file.c_str(), F_OK) == 0) {
        std::string answer;
        if (!ask("Over write it ? ", &answer)) return false;
        if (!yes(answer)) {
            conPrintf("Not saved.\n");
            return true;
        }
    }
    std::string text;
    char line[128];
    for (const Gcp &g : geocalcState().gcps) {
        snprintf(line, sizeof line, "%5d %12.3f %12.3f %12.3f %12.3f\n", g.id, g.x1, g.y1, g.x2, g.y2);
        text += line;
    }
    if (writeText(file, text))
        conPrintf("%d GCPs saved in %s.\n", static_cast<int>(geocalcState().gcps.size()), file.c_str());
    return true;
}

bool listGcps()
{
    const std::vector<Gcp> &gcps = geocalcState().gcps;
    conPrintf("\n No  ID       X1           Y1           X2           Y2         DX       DY");
    for (size_t i = 0; i < gcps.size(); ++i) {
        const Gcp &g = gcps[i];
        conPrintf("\n%3d %4d %12.3f %12.3f %12.3f %12.3f %8.4f %8.4f%s", static_cast<int>(i + 1), g.id, g.x1, g.y1,
                  g.x2, g.y2, g.dx, g.dy, g.selected ? "" : "  (unselected)");
        if ((i + 1) % kListPage == 0 && i + 1 < gcps.size()) {
            std::string answer;
            if (!ask("\nMore (Y/N)? ", &answer)) return false;
            if (!yes(answer)) break;
        }
    }
    conPrintf("\n");
    return true;
}

bool enterGcps()
{
    GeocalcState &state = geocalcState();
    while (true) {
        std::string line;
        if (!ask("\nID Number (ID# <= 0 for quit) ? ", &line)) return false;
        int id = 0;
        if (sscanf(line.c_str(), "%d", &id) != 1) {
            conPrintf("Invalid input!");
            continue;
        }
        if (id <= 0) return true;
        if (state.gcps.size() >= kMaxGcps) {
            conPrintf("Buffer overflow");
            return true;
        }
        Gcp g{};
        g.selected = 1;
        g.id = id;
        if (!askPair("\n(X1,Y1)? ", &g.x1, &g.y1) || !askPair("\n(X2,Y2)? ", &g.x2, &g.y2)) return false;
        state.gcps.push_back(g);
    }
}

void selectGcps(const std::vector<std::string> &args, bool select)
{
    std::vector<Gcp> &gcps = geocalcState().gcps;
    if (args.size() < 2) {
        conPrintf("Usage: %s ID ...|all\n", args[0].c_str());
        return;
    }
    for (size_t k = 1; k < args.size(); ++k) {
        const bool all = args[k] == "all";
        char *end = nullptr;
        const long id = strtol(args[k].c_str(), &end, 10);
        if (!all && (end == args[k].c_str() || *end)) {
            conPrintf("Invalid ID: %s\n", args[k].c_str());
            continue;
        }
        bool found = false;
        for (Gcp &g : gcps)
            if (all || g.id == id) {
                g.selected = select;
                found = true;
            }
        if (!found && !all) conPrintf("No GCP with ID %s.\n", args[k].c_str());
    }
    int n = 0;
    for (const Gcp &g : gcps) n += g.selected != 0;
    conPrintf("%d of %d GCPs selected.\n", n, static_cast<int>(gcps.size()));
}

void printCoefficients(const char *title, const std::vector<double> &values)
{
    conPrintf("%s", title);
    for (double v : values) conPrintf(" %15.7E", v);
}

// fit ?FILE?: asks the power, fits, prints the result, saves it in FILE.
bool fitGcps(const std::string &file)
{
    std::string line;
    if (!ask("\nEnter the maximum power (it must be >=0) of the polynomial: ", &line)) return false;
    int order = -1;
    if (sscanf(line.c_str(), "%d", &order) != 1 || order < 0) {
        conPrintf("\nThe power of the polynorm must be >= 0\n");
        return true;
    }
    GeocalcState &state = geocalcState();
    GeoFit fit = krel::fitGcps(state.gcps, std::min(order, kMaxGeoOrder + 1));
    if (fit.status != FitStatus::Ok) {
        conPrintf("%s\n", fitFailureText(fit.status == FitStatus::Singular ? fit.status : FitStatus::NotEnough));
        return true;
    }
    state.last = fit.poly;
    state.fitted = true;
    printCoefficients("\n\nCoeficients of Y2:\n", fit.poly.I);
    printCoefficients("\n\nCoeficients of X2:\n", fit.poly.J);
    conPrintf("\n\nMean Sqare Roots:\n");
    conPrintf("\nMSRI=%6.3f  MSRJ=%6.3f  MSR=%6.3f\n", fit.rmsY, fit.rmsX, fit.rms);
    if (!file.empty()) {
        std::string error = writeGeoFile(file.c_str(), fit.poly);
        if (!error.empty())
            conEprintf("%s\n", error.c_str());
        else
            conPrintf("Saved in %s.\n", file.c_str());
    }
    return true;
}

// grid: the fitted X2, Y2 of a rows x cols grid over the extent of the
// selected reference points, row by row from (xmin, ymax) to (xmax, ymin).
bool gridGcps()
{
    GeocalcState &state = geocalcState();
    if (!state.fitted) {
        conPrintf("No fit yet: fit the GCPs first.\n");
        return true;
    }
    double xmin = HUGE_VAL, xmax = -HUGE_VAL, ymin = HUGE_VAL, ymax = -HUGE_VAL;
    for (const Gcp &g : state.gcps)
        if (g.selected) {
            xmin = std::min(xmin, g.x1);
            xmax = std::max(xmax, g.x1);
            ymin = std::min(ymin, g.y1);
            ymax = std::max(ymax, g.y1);
        }
    if (xmin > xmax) {
        conPrintf("No selected GCPs.\n");
        return true;
    }
    std::string line;
    if (!ask("\nEnter the rows and cols: ", &line)) return false;
    long rows = 0, cols = 0;
    if (sscanf(line.c_str(), "%ld%*[ \t,]%ld", &rows, &cols) != 2 || rows < 1 || cols < 1 ||
        rows > kMaxGridPoints / cols) {
        conPrintf("Invalid input!\n");
        return true;
    }
    conPrintf("xmin: %13.3f xmax: %13.3f ymin: %13.3f ymax: %13.3f\n", xmin, xmax, ymin, ymax);
    std::string text;
    char buffer[64];
    long number = 0;
    for (long i = 0; i < rows; ++i) {
        const double y = rows > 1 ? ymax - i * (ymax - ymin) / (rows - 1) : ymax;
        for (long j = 0; j < cols; ++j) {
            const double x = cols > 1 ? xmin + j * (xmax - xmin) / (cols - 1) : xmin;
            double x2, y2;
            state.last.apply(x, y, &x2, &y2);
            snprintf(buffer, sizeof buffer, "%5ld %13.3f %13.3f\n", ++number, x2, y2);
            text += buffer;
        }
    }
    if (writeText("gridgcp.txt", text)) conPrintf("%ld points written to gridgcp.txt.\n", number);
    return true;
}

void showHelp(Tcl_Interp *interp)
{
    const char *home = getHomeDir(interp);
    const std::string file = std::string(home ? home : ".") + "/geocalc.hlp";
    std::ifstream in(file);
    if (!in || platform::isSpecialFile(file.c_str())) {
        conEprintf("Cannot read %s.\n", file.c_str());
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    conPrintf("%s", text.str().c_str());
}

void consoleLoop(Tcl_Interp *interp)
{
    std::string line;
    while (true) {
        conPrintf("\nCML> ");
        if (!readLine(&line)) break;
        const std::vector<std::string> args = words(line);
        if (args.empty()) continue;
        const std::string &cmd = args[0];
        bool more = true;
        if (cmd == "quit" || cmd == "exit")
            break;
        else if (cmd == "load")
            loadGcps(argumentText(line));
        else if (cmd == "save")
            more = saveGcps(argumentText(line));
        else if (cmd == "list")
            more = listGcps();
        else if (cmd == "enter")
            more = enterGcps();
        else if (cmd == "select" || cmd == "unselect")
            selectGcps(args, cmd == "select");
        else if (cmd == "fit")
            more = fitGcps(argumentText(line));
        else if (cmd == "grid")
            more = gridGcps();
        else if (cmd == "help")
            showHelp(interp);
        else
            conPrintf("Unknown command: %s (help lists the commands)\n", cmd.c_str());
        if (!more) break;
    }
    conPrintf("\n");
}

}  // namespace

void runGeocalcConsole(Tcl_Interp *interp)
{
    try {
        consoleLoop(interp);
    } catch (const std::bad_alloc &) {
        conEprintf("Error in memory allocation.\n");
    }
}

}  // namespace krel
