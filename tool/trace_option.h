// --trace FILE: the serial line recorded while a command runs (see
// trace/trace_record.h). Nothing above the platform's serial calls changes.
#pragma once

#include <memory>
#include <string>

#include <vector>

class TraceRecorder;

class TraceSession {
public:
    // What a trace is taken for: the file (empty: none), the command and
    // port for its header, and the files the command uses, which the trace
    // may not name.
    struct Request {
        std::string path;
        std::string command_line;
        std::string port;
        std::vector<std::string> files;
    };
    // Starts recording when the request names a file; throws a usage
    // ToolFailure when that file cannot be written or is one the command uses.
    explicit TraceSession(const Request& request);
    ~TraceSession();
    TraceSession(const TraceSession&) = delete;
    TraceSession& operator=(const TraceSession&) = delete;

    // Ends the recording and closes the file. Returns why the trace was cut
    // short (a full disk, a removed drive), or an empty text when it is whole
    // or no trace was asked for.
    std::string finish();

private:
    std::unique_ptr<TraceRecorder> recorder_;
};

// The command as the header records it: the arguments after the program's
// name, without --trace and its file.
std::string trace_command_line(int argc, const char* const* argv);
