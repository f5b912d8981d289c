// marrowlink store get|set|backup|restore: the chip's persistent store, read,
// written, kept in a file and put back, over the road the update takes: the
// adapter's command port (wake-up, identification, hand-over), then the
// chip's BCSP link. After a write the chip is cold-reset as after an update.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <fstream>
#include <sstream>

#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "driver/profiles.h"
#include "platform/platform.h"
#include "platform/platform_files.h"
#include "cmdport/identify.h"
#include "tool/app.h"

#include <CLI/CLI.hpp>
#include "tool/cmd_store.h"
#include "tool/port_auto.h"
#include "tool/cmd_store.h"
#include "tool/contact.h"
#include "tool/reasons.h"
#include "tool/store_run.h"

namespace {

// What the store commands take from their command lines.
struct StoreArguments {
    std::string key;                 // set
    std::vector<std::string> keys;   // get, backup
    std::vector<std::string> words;
    std::string file;
    bool force = false;
};

// "2026-12-08 14:02 UTC": when a backup was taken.
std::string utc_date()
{
    char date[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", utc);
    }
    return date;
}

constexpr const char* STORE_HANDED_OVER =
    "The adapter now listens to its Bluetooth chip: power it off and on before you use it or run marrowlink again.";

constexpr const char* CHIP_SILENT_HINT =
    "is the adapter still powered and connected? Power-cycle it and run the command again";

// The chip on its BCSP link, reached as the update reaches it (the adapter
// woken, identified and handed over, with probe's own steps); the link is
// closed when the session ends, whatever ends it.
class ChipSession {
public:
    ChipSession(const ToolContext& context, Report& report) : report_(report), port_(port_resolve(context.port, report, context.port_roots))
    {
        report.fact("port", port_.name);
        {
            // identify_firmware's version line is shown in the tool's own words.
            const ConsoleOutput quiet(CONSOLE_OUTPUT_NONE);
            probe_contact(port_, context.port_roots, report);
            probe_identify(report);
        }
        firmware_ = identify_report.version_text;
        report.fact("next", "power the adapter off and on");
        probe_link(port_, report);
        std::uint16_t build_id = 0;
        if (read_build_id(&build_id)) {
            build_id_ = build_id;
            report.say("Build id " + std::to_string(build_id));
            report.fact("build_id", build_id);
        }
    }
    ~ChipSession() { bcsp_port_close(); }
    ChipSession(const ChipSession&) = delete;
    ChipSession& operator=(const ChipSession&) = delete;

    // The chip restarts from its store, as after an update.
    void finish_after_writes()
    {
        if (cold_reset()) {
            report_.say("Cold reset sent: the chip restarts from its store.");
        } else {
            report_.say("The cold reset was not acknowledged: the chip takes the new values when it next starts.");
        }
        sleep_ms(COLD_RESET_PAUSE_MS);
        bcsp_port_close();
    }

    // The link closed; what the adapter needs next.
    void end()
    {
        bcsp_port_close();
        report_.say(STORE_HANDED_OVER);
    }

    StoreOrigin origin() const { return StoreOrigin{utc_date(), port_.name, firmware_, build_id_}; }

private:
    Report& report_;
    ToolPort port_;
    std::string firmware_;
    int build_id_ = -1;
};

StoreKey parse_key(const std::string& key_text)
{
    try {
        return store_key_parse(key_text);
    } catch (const StoreKeyError& error) {
        throw ToolFailure{ExitStatus::usage, "reading the key " + key_text, error.what(),
                          "keys are numbers (0x01f9), KEY:WORDS for a key the update does not write, or names "
                          "such as PSKEY_HOST_INTERFACE"};
    }
}

std::vector<StoreKey> parse_keys(const std::vector<std::string>& key_texts)
{
    std::vector<StoreKey> keys;
    for (const std::string& key_text : key_texts) {
        keys.push_back(parse_key(key_text));
    }
    return keys;
}

nlohmann::ordered_json key_json(const StoreKeyResult& result)
{
    nlohmann::ordered_json key = {{"key", store_hex(result.key)}, {"name", result.label}, {"done", result.done},
                                  {"result", result.text}};
    if (!result.line.words.empty()) {
        nlohmann::ordered_json words = nlohmann::ordered_json::array();
        for (std::uint16_t word : result.line.words) {
            words.push_back(store_hex(word));
        }
        key["words"] = words;
        if (result.key == PSKEY_DEVICE_NAME) {
            key["device_name"] = store_device_name_text(result.line.words);
        }
    }
    if (result.done && result.line.absent) {
        key["absent"] = true;
    }
    return key;
}

// The line people read for a key: the file's own line when it was read, else
// what became of it.
std::string key_line(const StoreKeyResult& result, bool reading)
{
    if (reading && result.done) {
        return store_file_line(result.line);
    }
    return store_hex(result.key) + " " + result.label + ": " + result.text;
}

// Ends a run whose keys did not all succeed: the chip's silence first (it
// explains the rest), else the first key that failed.
void fail_on_keys(const std::vector<StoreKeyResult>& results, const std::string& step, const std::string& hint)
{
    int failed = 0;
    const StoreKeyResult* first = nullptr;
    for (const StoreKeyResult& result : results) {
        if (result.chip_silent) {
            throw ToolFailure{ExitStatus::chip, step, result.label + ": " + result.text, CHIP_SILENT_HINT};
        }
        if (!result.done) {
            first = first != nullptr ? first : &result;
            ++failed;
        }
    }
    if (first != nullptr) {
        throw ToolFailure{ExitStatus::later_step, step,
                          std::to_string(failed) + " of " + std::to_string(results.size()) + " keys failed, " +
                              first->label + " first: " + first->text,
                          hint};
    }
}

std::vector<StoreKeyResult> run_reporting(Report& report, bool reading,
                                          const std::function<std::vector<StoreKeyResult>(const StoreKeyReport&)>& run)
{
    nlohmann::ordered_json keys = nlohmann::ordered_json::array();
    std::vector<StoreKeyResult> results = run([&](const StoreKeyResult& result) {
        report.say(key_line(result, reading));
        keys.push_back(key_json(result));
    });
    report.fact("keys", keys);
    return results;
}

void store_get(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    const std::vector<StoreKey> keys = parse_keys(arguments.keys);
    ChipSession session(context, report);
    const std::vector<StoreKeyResult> results =
        run_reporting(report, true, [&](const StoreKeyReport& each) { return store_run_backup(keys, each); });
    session.end();
    fail_on_keys(results, "reading the keys", "a key the chip refuses may be protected, or not exist on this firmware");
}

std::string words_text(int count)
{
    return std::to_string(count) + (count == 1 ? " word" : " words");
}

std::uint16_t parse_word(const std::string& text)
{
    const std::optional<unsigned> value = store_parse_number(text);
    if (!value || *value > 0xFFFF) {
        throw ToolFailure{ExitStatus::usage, "reading the value", "'" + text + "' is not a 16-bit number",
                          "write each word as 0x0004 or 4"};
    }
    return static_cast<std::uint16_t>(*value);
}

void store_set(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    StoreKey key;
    try {
        key = store_key_parse(arguments.key, false);
    } catch (const StoreKeyError& error) {
        throw ToolFailure{ExitStatus::usage, "reading the key " + arguments.key, error.what(),
                          "keys are numbers (0x01f9) or names such as PSKEY_HOST_INTERFACE"};
    }
    std::vector<std::uint16_t> words;
    for (const std::string& text : arguments.words) {
        words.push_back(parse_word(text));
    }
    const int count = static_cast<int>(words.size());
    if (count > STORE_KEY_MAX_WORDS) {
        throw ToolFailure{ExitStatus::usage, "reading the value", std::to_string(count) + " words: a key holds at most 56",
                          ""};
    }
    // A fixed key's length is known: another count is a typing error unless asked for as KEY:WORDS.
    if (!key.length_varies && !key.word_counts.empty() && key.word_counts.front() != count) {
        throw ToolFailure{ExitStatus::usage, "reading the value",
                          store_key_label(key) + " holds " + words_text(key.word_counts.front()) + ", " +
                              std::to_string(count) + " given",
                          "give " + words_text(key.word_counts.front()) + ", or write " +
                              store_hex(key.number) + ":" + std::to_string(count) + " to write that many anyway"};
    }
    if (key.force_reason != nullptr && !arguments.force) {
        throw ToolFailure{ExitStatus::usage, "writing " + store_key_label(key),
                          std::string("this key changes how the host reaches the chip: ") + key.force_reason,
                          "check the value, then add --force to write it"};
    }
    ChipSession session(context, report);
    StoreLine line;
    line.key = key.number;
    line.words = words;
    const std::vector<StoreKeyResult> results =
        run_reporting(report, false, [&](const StoreKeyReport& each) { return store_run_restore({line}, each); });
    if (!results.front().chip_silent) {
        session.finish_after_writes();
    }
    session.end();
    fail_on_keys(results, "writing " + store_key_label(key), "the chip may protect this key; its value is unchanged");
}

void write_backup(const std::string& path, const std::string& text)
{
    char why[512] = "";
    if (!file_write_whole(path.c_str(), text.data(), text.size(), FILE_REPLACE_EXISTING, nullptr, why,
                          sizeof why)) {
        throw ToolFailure{ExitStatus::usage, "writing the backup", why,
                          "choose a file in a folder you can write to; nothing else was changed"};
    }
}

void store_backup(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    std::vector<StoreKey> keys = store_keys_default();
    for (const StoreKey& extra : parse_keys(arguments.keys)) {
        keys.erase(std::remove_if(keys.begin(), keys.end(), [&](const StoreKey& k) { return k.number == extra.number; }),
                   keys.end());
        keys.push_back(extra);
    }
    ChipSession session(context, report);
    const std::vector<StoreKeyResult> results =
        run_reporting(report, true, [&](const StoreKeyReport& each) { return store_run_backup(keys, each); });
    for (const StoreKeyResult& result : results) {
        if (result.chip_silent) {
            session.end();
            fail_on_keys(results, "backing up the store", "");  // no file: a backup without an answer is no backup
        }
    }
    std::vector<StoreLine> lines;
    std::string missing;
    for (const StoreKeyResult& result : results) {
        if (result.done) {
            lines.push_back(result.line);
        } else {
            missing += "# " + store_hex(result.key) + " " + result.label + " is not in this backup: " + result.text + "\n";
        }
    }
    write_backup(arguments.file, store_file_render(session.origin(), lines) + missing);
    report.fact("file", arguments.file);
    report.say("Backup written to " + arguments.file + ": " + std::to_string(lines.size()) + " keys.");
    session.end();
    fail_on_keys(results, "backing up the store",
                 "the backup holds every other key; the keys refused are named in it as comments");
}

std::string read_whole_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        throw ToolFailure{ExitStatus::usage, "reading " + path, "the file cannot be read",
                          "check the name; marrowlink store backup FILE writes one"};
    }
    return text.str();
}

void store_restore(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    const StoreFileContents contents = store_file_parse(read_whole_file(arguments.file));
    if (!contents.problems.empty()) {
        nlohmann::ordered_json problems = nlohmann::ordered_json::array();
        for (const StoreProblem& problem : contents.problems) {
            report.say(arguments.file + ":" + std::to_string(problem.line) + ": " + problem.reason);
            problems.push_back({{"line", problem.line}, {"reason", problem.reason}});
        }
        report.fact("problems", problems);
        const StoreProblem& first = contents.problems.front();
        throw ToolFailure{ExitStatus::usage, "checking " + arguments.file,
                          "line " + std::to_string(first.line) + ": " + first.reason +
                              (contents.problems.size() > 1
                                   ? " (and " + std::to_string(contents.problems.size() - 1) + " more lines)"
                                   : ""),
                          "mend the lines named; nothing was written to the chip"};
    }
    if (contents.lines.empty()) {
        throw ToolFailure{ExitStatus::usage, "checking " + arguments.file, "the file holds no keys",
                          "marrowlink store backup FILE writes a file to restore"};
    }
    ChipSession session(context, report);
    const std::vector<StoreKeyResult> results = run_reporting(
        report, false, [&](const StoreKeyReport& each) { return store_run_restore(contents.lines, each); });
    const bool wrote = std::any_of(contents.lines.begin(), contents.lines.end(), [](const StoreLine& l) { return !l.absent; });
    const bool silent = std::any_of(results.begin(), results.end(), [](const StoreKeyResult& r) { return r.chip_silent; });
    if (wrote && !silent) {
        session.finish_after_writes();
    }
    if (store_run_all_done(results)) {
        report.say("Restored all " + std::to_string(results.size()) + " keys of " + arguments.file + ".");
    }
    session.end();
    fail_on_keys(results, "restoring " + arguments.file,
                 "run the restore again once the cause is mended: it writes every key again and ends in the same state");
}

// The backup marrowlink update --backup takes: armed before the update,
// run by the pre-update profile on its open link.
struct UpdateBackup {
    std::string path;
    std::string port;
    Report* report = nullptr;
    std::optional<ToolFailure> failure;
};
UpdateBackup update_backup;

int update_backup_hook()
{
    UpdateBackup& backup = update_backup;
    Report& report = *backup.report;
    try {
        std::uint16_t build_id = 0;
        const int build_id_read = read_build_id(&build_id);
        report.say("Backing up the chip's store to " + backup.path + " before the update:");
        const std::vector<StoreKeyResult> results = run_reporting(
            report, true, [](const StoreKeyReport& each) { return store_run_backup(store_keys_default(), each); });
        fail_on_keys(results, "backing up the chip's store before the update", "");
        std::vector<StoreLine> lines;
        for (const StoreKeyResult& result : results) {
            lines.push_back(result.line);
        }
        const StoreOrigin origin{utc_date(), backup.port, identify_report.version_text, build_id_read ? build_id : -1};
        write_backup(backup.path, store_file_render(origin, lines));
        report.fact("backup", backup.path);
        report.say("Backup written to " + backup.path + ".");
        return 1;
    } catch (const ToolFailure& failure) {
        backup.failure = failure;
        // A key refused stops the update as surely as silence: the chip could not be backed up.
        if (failure.status == ExitStatus::later_step) {
            backup.failure->status = ExitStatus::chip;
        }
        backup.failure->hint = "nothing was changed on the chip and the firmware was not touched; " +
                               (failure.hint.empty() ? std::string("power the adapter off and on and try again")
                                                     : failure.hint);
        return 0;
    }
}

}  // namespace

void store_update_backup_arm(const std::string& path, const std::string& port, Report* report)
{
    update_backup = UpdateBackup{path, port, report, std::nullopt};
    configure_before_update_hook = update_backup_hook;
}

ToolFailure store_update_backup_disarm()
{
    configure_before_update_hook = nullptr;
    if (update_backup.failure) {
        return *update_backup.failure;
    }
    return ToolFailure{ExitStatus::chip, "backing up the chip's store before the update", "the backup was not taken",
                       "nothing was changed on the chip"};
}

void cmd_store_register(CLI::App& app, ToolContext& context)
{
    CLI::App* store = app.add_subcommand("store", "read, write, back up and restore the chip's persistent store");
    store->require_subcommand(1);
    auto arguments = std::make_shared<StoreArguments>();

    CLI::App* get = tool_command_add(*store, context, "get", "read keys and print them, one line each");
    get->add_option("KEY", arguments->keys, "0x01f9, PSKEY_HOST_INTERFACE, or 0x0777:WORDS")->required();
    get->callback([&context, arguments] {
        tool_command_run(context, [&](Report& report) { store_get(context, report, *arguments); });
    });

    CLI::App* set = tool_command_add(*store, context, "set", "write one key, read it back and compare");
    set->add_option("KEY", arguments->key, "the key")->required();
    set->add_option("WORD", arguments->words, "its value words, 0x0004 or 4")->required();
    set->add_flag("--force", arguments->force,
                  "write a key that changes how the host reaches the chip (UART configuration, host interface, boot mode)");
    set->callback([&context, arguments] {
        tool_command_run(context, [&](Report& report) { store_set(context, report, *arguments); });
    });

    CLI::App* backup = tool_command_add(*store, context, "backup",
                                        "read every key the update writes, and any KEY named, into FILE");
    backup->add_option("FILE", arguments->file, "the backup file (written whole or not at all)")->required();
    backup->add_option("KEY", arguments->keys, "further keys to keep");
    backup->callback([&context, arguments] {
        tool_command_run(context, [&](Report& report) { store_backup(context, report, *arguments); });
    });

    CLI::App* restore = tool_command_add(*store, context, "restore",
                                         "check FILE whole, then write its keys in order and read each back");
    restore->add_option("FILE", arguments->file, "a backup file")->required();
    restore->callback([&context, arguments] {
        tool_command_run(context, [&](Report& report) { store_restore(context, report, *arguments); });
    });
}
