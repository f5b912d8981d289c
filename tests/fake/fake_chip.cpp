#include "fake_chip.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fake_platform.h"

namespace {

// Bytes the chip has ready go onto the line at once.
void chip_pump(Chip* chip, std::uint64_t now_ms)
{
    std::uint8_t byte = 0;
    while (chip_transmit_byte(chip, now_ms, &byte)) {
        fake_serial_receive(&byte, 1, now_ms);
    }
}

void chip_on_write(void* context, const std::uint8_t* bytes, std::size_t count, std::uint64_t now_ms)
{
    auto* chip = static_cast<Chip*>(context);
    for (std::size_t i = 0; i < count; ++i) {
        chip_receive_byte(chip, bytes[i], now_ms);
    }
    chip_pump(chip, now_ms);
}

std::uint64_t chip_on_next_event(void* context)
{
    return chip_next_event_ms(static_cast<const Chip*>(context));
}

void chip_on_time(void* context, std::uint64_t now_ms)
{
    chip_pump(static_cast<Chip*>(context), now_ms);
}

}  // namespace

ChipConfig fake_chip_config(FakeChip* fake, std::uint16_t build_id)
{
    if (fake->store_path.empty()) {
        char path[] = "/tmp/fake-chip-store-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            close(fd);
            std::remove(path);  // the chip creates it with its defaults
        }
        fake->store_path = path;
    }
    if (fake->events == nullptr) {
        fake->events = std::tmpfile();
    }
    ChipConfig config = {};
    config.store_path = fake->store_path.c_str();
    config.build_id = build_id;
    config.event_log = fake->events;
    return config;
}

int fake_chip_start(FakeChip* fake, const ChipConfig& config, std::string* error)
{
    fake->chip = chip_create(&config);
    if (fake->chip == nullptr) {
        *error = chip_create_error();
        return 0;
    }
    FakeSerialDevice device = {};
    device.context = fake->chip;
    device.on_write = chip_on_write;
    device.next_event_ms = chip_on_next_event;
    device.on_time = chip_on_time;
    fake_serial_attach(&device);
    chip_power_on(fake->chip, fake_now_ms());
    return 1;
}

void fake_chip_stop(FakeChip* fake)
{
    fake_serial_attach(nullptr);
    if (fake->chip != nullptr) {
        chip_destroy(fake->chip);
        fake->chip = nullptr;
    }
    if (!fake->store_path.empty()) {
        std::remove(fake->store_path.c_str());
        fake->store_path.clear();
    }
    if (fake->events != nullptr) {
        std::fclose(fake->events);
        fake->events = nullptr;
    }
}

std::vector<std::string> fake_chip_events(FakeChip* fake, const char* needle)
{
    std::vector<std::string> lines;
    if (fake->events == nullptr) {
        return lines;
    }
    std::fflush(fake->events);
    std::rewind(fake->events);
    char line[4096];
    while (std::fgets(line, sizeof line, fake->events) != nullptr) {
        if (std::strstr(line, needle) != nullptr) {
            lines.emplace_back(line);
        }
    }
    std::fseek(fake->events, 0, SEEK_END);
    return lines;
}
