// Keys as the store commands take them: numbers, the update's names, word
// counts, and the key_texts that must be refused with a reason.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/profile_keys.h"
#include "tool/store_keys.h"

namespace {

struct GoodKeyText {
    const char* text;
    std::uint16_t number;
    const char* name;
    std::vector<int> counts;
    bool varies;
    bool force;
};

TEST(StoreKeys, KeyTextsNameTheKeyAndItsLikelyLengths)
{
    const GoodKeyText key_texts[] = {
        {"0x01f9", 0x01F9, "PSKEY_HOST_INTERFACE", {1}, false, true},
        {"505", 0x01F9, "PSKEY_HOST_INTERFACE", {1}, false, true},
        {"pskey_host_interface", 0x01F9, "PSKEY_HOST_INTERFACE", {1}, false, true},
        {"0x0108", 0x0108, "PSKEY_DEVICE_NAME", {6, 8}, true, false},
        {"PSKEY_DEVICE_NAME", 0x0108, "PSKEY_DEVICE_NAME", {6, 8}, true, false},
        {"PSKEY_DEVICE_NAME:20", 0x0108, "PSKEY_DEVICE_NAME", {20}, true, false},
        {"0X0191", 0x0191, "PSKEY_UART_CONFIG", {10}, false, true},
        {"PSKEY_UART_CONFIG_USR", 0x01C2, "PSKEY_UART_CONFIG_USR", {1}, false, true},
        {"PSKBOOTMODE_KEY_LIST_0+1", 0x04B1, "PSKBOOTMODE_KEY_LIST_0+1", {1}, false, true},
        {"0x03cd", 0x03CD, "PSKEY_INITIAL_BOOTMODE", {1}, false, true},
        {"0x04f8", 0x04F8, "PSKBOOTMODE_KEY_TABLE_1", {1}, false, true},
        {"0x024b", 0x024B, "PSKEY_CRYSTAL_TARGET_AMPLITUDE", {1}, false, false},
        {"PSKEY_DEEP_SLEEP_STATE", 0x0229, "PSKEY_DEEP_SLEEP_STATE", {1}, false, false},
        {"0x0777:3", 0x0777, "", {3}, false, false},
        {"1911:56", 0x0777, "", {56}, false, false},
    };
    for (const GoodKeyText& good : key_texts) {
        SCOPED_TRACE(good.text);
        const StoreKey key = store_key_parse(good.text);
        EXPECT_EQ(key.number, good.number);
        EXPECT_EQ(key.name, good.name);
        EXPECT_EQ(key.word_counts, good.counts);
        EXPECT_EQ(key.length_varies, good.varies);
        EXPECT_EQ(key.force_reason != nullptr, good.force);
    }
}

TEST(StoreKeys, UnusableSpecsAreRefusedWithAReason)
{
    const std::pair<const char*, const char*> key_texts[] = {
        {"0x0777", "give its word count, as 0x0777:WORDS"},
        {"0x0777:0", "is not a number from 1 to 56"},
        {"0x0777:57", "is not a number from 1 to 56"},
        {"0x0777:x", "is not a number from 1 to 56"},
        {"0x0777:", "is not a number from 1 to 56"},
        {"PSKEY_NO_SUCH_KEY", "unknown key PSKEY_NO_SUCH_KEY"},
        {"0x10000", "beyond 0xffff"},
        {"0x", "unknown key 0x:"},
        {"", "unknown key"},
        {"-1", "unknown key -1"},
    };
    for (const auto& [key_text, reason] : key_texts) {
        SCOPED_TRACE(key_text);
        try {
            store_key_parse(key_text);
            ADD_FAILURE() << "accepted";
        } catch (const StoreKeyError& error) {
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        }
    }
}

TEST(StoreKeys, TheDefaultSetIsEveryKeyTheUpdateWritesAscending)
{
    const std::vector<StoreKey> keys = store_keys_default();
    ASSERT_EQ(keys.size(), std::size(PROFILE_KEYS));
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end(),
                               [](const StoreKey& a, const StoreKey& b) { return a.number < b.number; }));
    for (const ProfileKey& entry : PROFILE_KEYS) {
        EXPECT_TRUE(std::any_of(keys.begin(), keys.end(), [&](const StoreKey& k) { return k.number == entry.key; }))
            << entry.name;
    }
}

TEST(StoreKeys, DeviceNamesReadAsText)
{
    const std::pair<std::vector<std::uint16_t>, const char*> names[] = {
        {{0x694B, 0x6374, 0x6568, 0x006E}, "Kitchen"},
        {{0x614D, 0x7272, 0x776F, 0x696C, 0x6B6E, 0x0000}, "Marrowlink"},
        {{0x0000}, ""},
        {{0x4241}, "AB"},                       // no terminating zero: every byte counts
        {{0x2241, 0x5C42, 0x0043}, "A\\\"B\\\\C"},  // quote and backslash escaped
        {{0x0A41, 0xE942, 0x0000}, "A\\x0aB\\xe9"}, // a line end and a byte beyond ASCII
        {{0x0041, 0x4343}, "A"},                // text ends at the first zero byte
    };
    for (const auto& [words, text] : names) {
        EXPECT_EQ(store_device_name_text(words), text);
    }
}

}  // namespace

namespace {

TEST(StoreKeys, AWriteNeedsNoCountForAnUnknownKey)
{
    const StoreKey key = store_key_parse("0x0777", false);
    EXPECT_EQ(key.number, 0x0777);
    EXPECT_TRUE(key.word_counts.empty());
    EXPECT_THROW(store_key_parse("PSKEY_NO_SUCH_KEY", false), StoreKeyError);
}

}  // namespace
