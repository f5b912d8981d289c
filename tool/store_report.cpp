#include "tool/store_report.h"

#include "driver/profiles.h"
#include "tool/store_file.h"
#include "tool/store_keys.h"

namespace {

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

}  // namespace

std::vector<StoreKeyResult> store_report_keys(Report& report, bool reading,
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

void store_report_fail_on_keys(const std::vector<StoreKeyResult>& results, const std::string& step, const std::string& hint)
{
    int failed = 0;
    const StoreKeyResult* first = nullptr;
    for (const StoreKeyResult& result : results) {
        if (result.chip_silent) {
            throw ToolFailure{ExitStatus::chip, step, result.label + ": " + result.text, STORE_CHIP_SILENT_HINT};
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

