#include "tool/outcome.h"

#include <ostream>

std::string exit_status_help()
{
    return "Exit status:\n"
           "  0  everything asked for succeeded\n"
           "  1  an internal error of marrowlink (please send the trace: --trace FILE)\n"
           "  2  usage: unknown option, bad port name, unreadable file\n"
           "  3  the port could not be opened (missing, busy, denied, not a serial port)\n"
           "  4  no adapter answered (Plug-and-Play reply or setup handshake)\n"
           "  5  the firmware was not recognised (or sent no version)\n"
           "  6  the chip could not be reached or prepared (BCSP link, BCCMD)\n"
           "  7  the download tool failed or could not be started\n"
           "  8  the update finished but a later step failed (configuration incomplete), or a store\n"
           "     command finished with a key not read, written or verified\n"
           "  9  update with several ports: at least one adapter was not updated (each port's own status\n"
           "     is in the summary and in --json)\n"
           "  130  interrupted (Ctrl-C, SIGTERM, a closed console): the key or profile under way was finished,\n"
           "       nothing after it was done, and the lines above say what was written\n";
}

Report::Report(bool json, std::ostream& out, std::ostream& err) : json_(json), out_(out), err_(err) {}

void Report::say(const std::string& line)
{
    if (!json_) {
        end_open_line("");
        out_ << line << '\n' << std::flush;
    }
}

void Report::begin(const std::string& text)
{
    if (!json_) {
        end_open_line("");
        out_ << text << " ... " << std::flush;
        line_open_ = true;
    }
}

void Report::done(const std::string& result)
{
    end_open_line(result);
}

void Report::end_open_line(const std::string& result)
{
    if (line_open_) {
        out_ << result << '\n' << std::flush;
        line_open_ = false;
    }
}

void Report::print_json(const nlohmann::ordered_json& object)
{
    // Bytes from the line need not be UTF-8: they are replaced, never an error.
    out_ << object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n' << std::flush;
}

void Report::fact(const std::string& key, const nlohmann::ordered_json& value)
{
    facts_[key] = value;
}

void Report::warn(const std::string& line)
{
    if (json_) {
        warnings_.push_back(line);
        facts_["warnings"] = warnings_;
        return;
    }
    end_open_line("");
    err_ << "warning: " << line << '\n' << std::flush;
}

int Report::succeed()
{
    end_open_line("");
    if (json_) {
        nlohmann::ordered_json object = {{"outcome", "ok"}};
        object.update(facts_);
        object["exit_status"] = static_cast<int>(ExitStatus::ok);
        print_json(object);
    }
    return static_cast<int>(ExitStatus::ok);
}

int Report::fail(const ToolFailure& failure)
{
    end_open_line("failed");
    const int status = static_cast<int>(failure.status);
    if (json_) {
        nlohmann::ordered_json object = {{"outcome", "failed"}};
        object.update(facts_);
        object["step"] = failure.step;
        object["reason"] = failure.reason;
        object["hint"] = failure.hint;
        object["exit_status"] = status;
        print_json(object);
    } else {
        err_ << "error: " << failure.step << ": " << failure.reason << '\n';
        if (!failure.hint.empty()) {
            err_ << "hint: " << failure.hint << '\n';
        }
        err_ << std::flush;
    }
    return status;
}
