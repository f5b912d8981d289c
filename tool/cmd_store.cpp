// marrowlink store get|set|backup|restore: the chip's persistent store, read,
// written, kept in a file and put back, over the road the update takes: the
// adapter's command port (wake-up, identification, hand-over), then the
// chip's BCSP link. After a write the chip is cold-reset as after an update.
#include "tool/cmd_store.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "tool/hold.h"
#include "tool/store_arguments.h"
#include "tool/store_backup.h"
#include "tool/store_report.h"
#include "tool/store_restore_check.h"
#include "tool/store_session.h"

namespace {

void store_get(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    const std::vector<StoreKey> keys = store_argument_keys(arguments.keys);
    StoreSession session(context, report);
    const std::vector<StoreKeyResult> results =
        store_report_keys(report, true, [&](const StoreKeyReport& each) { return store_run_backup(keys, each); });
    session.end();
    store_report_fail_on_keys(results, "reading the keys",
                              "a key the chip refuses may be protected, or not exist on this firmware");
}

// The keys' writes, each read back, under a hold: an interrupt finishes the
// key being written, writes nothing more (no cold reset either: the chip takes
// the written keys when it next starts) and ends the command with what was
// done. Without an interrupt the chip is cold-reset unless it fell silent.
std::vector<StoreKeyResult> store_write_keys(Report& report, StoreSession& session, const std::vector<StoreLine>& lines,
                                             const std::string& step, const std::string& again)
{
    std::vector<StoreKeyResult> results;
    {
        const InterruptHold hold(hold_notice_keys());
        results = store_report_keys(report, false, [&](const StoreKeyReport& each) {
            return store_run_restore(lines, each, [] { return hold_interrupted(); });
        });
        const bool silent =
            std::any_of(results.begin(), results.end(), [](const StoreKeyResult& r) { return r.chip_silent; });
        const bool wrote = std::any_of(lines.begin(), lines.end(), [](const StoreLine& l) { return !l.absent; });
        if (!hold_interrupted() && wrote && !silent) {
            session.finish_after_writes();
        }
        session.close();
    }
    if (hold_interrupted()) {
        session.end();
        const int tried = store_run_tried(results);
        const int total = static_cast<int>(results.size());
        const int done = static_cast<int>(std::count_if(results.begin(), results.begin() + tried,
                                                        [](const StoreKeyResult& r) { return r.done; }));
        report.fact("interrupted", true);
        std::string reason = "interrupted: stopped after " + std::to_string(tried) + " of " + std::to_string(total) +
                             (total == 1 ? " key" : " keys") + " (" + std::to_string(done) + " written and verified)";
        if (tried < total) {
            reason += "; the other " + std::to_string(total - tried) + " are as they were";
        }
        reason += "; no cold reset was sent: the chip takes the written values when it next starts";
        throw ToolFailure{ExitStatus::interrupted, step, reason, again};
    }
    return results;
}

void store_set(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    const StoreSetRequest request = store_argument_set(arguments);
    StoreSession session(context, report);
    StoreLine line;
    line.key = request.key.number;
    line.words = request.words;
    const std::string step = "writing " + store_key_label(request.key);
    const std::vector<StoreKeyResult> results =
        store_write_keys(report, session, {line}, step, "power the adapter off and on: it then starts with the value");
    session.end();
    store_report_fail_on_keys(results, step, "the chip may protect this key; its value is unchanged");
}

void store_backup(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    std::vector<StoreKey> keys = store_keys_default();
    for (const StoreKey& extra : store_argument_keys(arguments.keys)) {
        keys.erase(std::remove_if(keys.begin(), keys.end(), [&](const StoreKey& k) { return k.number == extra.number; }),
                   keys.end());
        keys.push_back(extra);
    }
    store_backup_check(arguments.file, arguments.overwrite);
    StoreSession session(context, report);
    const std::vector<StoreKeyResult> results =
        store_report_keys(report, true, [&](const StoreKeyReport& each) { return store_run_backup(keys, each); });
    if (std::any_of(results.begin(), results.end(), [](const StoreKeyResult& r) { return r.chip_silent; })) {
        session.end();
        // No file: a backup without an answer is no backup.
        store_report_fail_on_keys(results, "backing up the store", "");
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
    store_backup_write(arguments.file, store_file_render(session.origin(), lines) + missing, arguments.overwrite,
                       "choose a file in a folder you can write to; nothing was changed on the chip");
    report.fact("file", arguments.file);
    report.say("Backup written to " + arguments.file + ": " + std::to_string(lines.size()) + " keys.");
    session.end();
    store_report_fail_on_keys(results, "backing up the store",
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
    store_restore_check_file(report, arguments.file, contents);
    StoreSession session(context, report);
    store_restore_check_chip(report, arguments.file, contents, session, arguments.force);
    const std::string step = "restoring " + arguments.file;
    const std::vector<StoreKeyResult> results =
        store_write_keys(report, session, contents.lines, step,
                         "run the same restore again to finish it: it writes every key again and ends in the same state");
    if (store_run_all_done(results)) {
        report.say("Restored all " + std::to_string(results.size()) + " keys of " + arguments.file + ".");
    }
    session.end();
    store_report_fail_on_keys(results, step,
                              "run the restore again once the cause is mended: it writes every key again and ends in the same state");
}

}  // namespace

void cmd_store_register(CLI::App& app, ToolContext& context)
{
    CLI::App* store = app.add_subcommand("store", "read, write, back up and restore the chip's persistent store");
    store->require_subcommand(1);
    auto arguments = std::make_shared<StoreArguments>();
    const char* const force_help =
        "write a key that changes how the host reaches the chip (UART configuration, host interface, boot mode)";

    CLI::App* get = tool_command_add(*store, context, "get", "read keys and print them, one line each");
    get->add_option("KEY", arguments->keys, "0x01f9, PSKEY_HOST_INTERFACE, or 0x0777:WORDS")->required();
    get->callback([&context, arguments] {
        tool_command_run(context, [&](Report& report) { store_get(context, report, *arguments); });
    });

    CLI::App* set = tool_command_add(*store, context, "set", "write one key, read it back and compare");
    set->add_option("KEY", arguments->key, "the key")->required();
    set->add_option("WORD", arguments->words, "its value words, 0x0004 or 4")->required();
    set->add_flag("--force", arguments->force, force_help);
    set->callback([&context, arguments] {
        tool_command_run(context, [&](Report& report) { store_set(context, report, *arguments); });
    });

    CLI::App* backup = tool_command_add(*store, context, "backup",
                                        "read every key the update writes, and any KEY named, into FILE");
    backup->add_option("FILE", arguments->file, "the backup file (a new file, written whole or not at all)")->required();
    backup->add_option("KEY", arguments->keys, "further keys to keep");
    backup->add_flag("--overwrite", arguments->overwrite, "replace FILE when it exists (its permissions are kept)");
    backup->callback([&context, arguments] {
        context.files = {arguments->file};
        tool_command_run(context, [&](Report& report) { store_backup(context, report, *arguments); });
    });

    CLI::App* restore = tool_command_add(*store, context, "restore",
                                         "check FILE whole, then write its keys in order and read each back");
    restore->add_option("FILE", arguments->file, "a backup file")->required();
    restore->add_flag("--force", arguments->force, std::string(force_help) + " when the file's value differs from the chip's");
    restore->callback([&context, arguments] {
        context.files = {arguments->file};
        tool_command_run(context, [&](Report& report) { store_restore(context, report, *arguments); });
    });
}
