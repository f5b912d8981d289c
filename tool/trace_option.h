// --trace FILE: the serial line recorded while a command runs (see
// trace/trace_record.h). Nothing above the platform's serial calls changes.
#pragma once

#include <memory>
#include <string>

#include "tool/app.h"

class TraceRecorder;

class TraceSession {
public:
    // Starts recording when context.trace names a file; throws a usage
    // ToolFailure when that file cannot be written.
    explicit TraceSession(const ToolContext& context);
    ~TraceSession();
    TraceSession(const TraceSession&) = delete;
    TraceSession& operator=(const TraceSession&) = delete;

private:
    std::unique_ptr<TraceRecorder> recorder_;
};

// The command as the header records it: the arguments after the program's
// name, without --trace and its file.
std::string trace_command_line(int argc, const char* const* argv);
