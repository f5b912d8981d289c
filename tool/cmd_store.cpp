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

void store_set(const ToolContext& context, Report& report, const StoreArguments& arguments)
{
    const StoreSetRequest request = store_argument_set(arguments);
    StoreSession session(context, report);
    StoreLine line;
    line.key = request.key.number;
    line.words = request.words;
    const std::vector<StoreKeyResult> results =
        store_report_keys(report, false, [&](const StoreKeyReport& each) { return store_run_restore({line}, each); });
    if (!results.front().chip_silent) {
        session.finish_after_writes();
    }
    session.end();
    store_report_fail_on_keys(results, "writing " + store_key_label(request.key),
                              "the chip may protect this key; its value is unchanged");
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
    const std::vector<StoreKeyResult> results = store_report_keys(
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
    store_report_fail_on_keys(results, "restoring " + arguments.file,
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
        tool_command_run(context, [&](Report& report) { store_backup(context, report, *arguments); });
    });

    CLI::App* restore = tool_command_add(*store, context, "restore",
                                         "check FILE whole, then write its keys in order and read each back");
    restore->add_option("FILE", arguments->file, "a backup file")->required();
    restore->add_flag("--force", arguments->force, std::string(force_help) + " when the file's value differs from the chip's");
    restore->callback([&context, arguments] {
        tool_command_run(context, [&](Report& report) { store_restore(context, report, *arguments); });
    });
}
