// Runs the built torvex with a given input, arguments, environment and directory.
#ifndef RUN_TORVEX_H
#define RUN_TORVEX_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

// Its standard output, and its exit status: -1 when it did not end normally (signal, time-out).
struct Torvex_Result {
    std::string out;
    int exit_code;
    bool timed_out;
};

// Done once TORVEX has printed `after` past the previous event's text.
struct Torvex_Event {
    std::string after;
    int signal;
    bool close_output = false;
    std::string input = "";
};

struct Torvex_Run {
    std::string stdin_text;       // sits whole in a pipe before the start: 1 MB at most
    bool keep_stdin_open = false; // no end of input until TORVEX has ended
    std::vector<Torvex_Event> events;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env; // over the inherited one, less FLASHOPT
    std::string cwd;                                      // empty: the caller's directory
    int timeout_ms = 20000;
};

Torvex_Result Run_Torvex(const Torvex_Run &run);

// A scratch directory removed with everything in it when it goes out of scope.
class Scratch_Dir {
public:
    Scratch_Dir() : path_(std::filesystem::temp_directory_path() / "torvex-test-XXXXXX")
    {
        if (!mkdtemp(&path_[0])) path_.clear();
    }
    ~Scratch_Dir()
    {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    Scratch_Dir(const Scratch_Dir &) = delete;
    Scratch_Dir &operator=(const Scratch_Dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    void write(const std::string &name, const std::string &content) const
    {
        std::ofstream(file(name), std::ios::binary) << content;
    }
    bool exists(const std::string &name) const { return std::filesystem::exists(file(name)); }

private:
    std::string path_;
};

// The sign-on, the prompt loop's start and prompt, and one segment's output framed.
extern const char *const TORVEX_SIGNON;
inline std::string Cli_Start()
{
    return std::string(TORVEX_SIGNON) + "\nType h or ? for help\n\n";
}
inline const std::string PROMPT = "FLASH CMD: ",
                         ON_LINE = "Target system on-line (id = 1, version = 2.51)\n";
inline const std::string NOT_ON_LINE = "Target system not on-line!\n";
inline std::string Seg(const std::string &output)
{
    return "\n" + output + "\n";
}

#endif
