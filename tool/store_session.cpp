#include "tool/store_session.h"

#include <cstdint>
#include <ctime>

#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "driver/profiles.h"
#include "platform/platform.h"
#include "tool/contact.h"
#include "tool/port_auto.h"

namespace {

constexpr const char* STORE_HANDED_OVER =
    "The adapter now listens to its Bluetooth chip: power it off and on before you use it or run marrowlink again.";

}  // namespace

std::string store_utc_date()
{
    char date[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", utc);
    }
    return date;
}

StoreSession::StoreSession(const ToolContext& context, Report& report)
    : report_(report), port_(port_resolve(context.port, report, context.port_roots, context.program))
{
    report.fact("port", port_.name);
    contact_wake(port_, context.port_roots, report);
    firmware_ = contact_identify(report);
    report.fact("next", "power the adapter off and on");
    contact_link(port_, report);
    std::uint16_t build_id = 0;
    if (read_build_id(&build_id)) {
        build_id_ = build_id;
        report.say("Build id " + std::to_string(build_id));
        report.fact("build_id", build_id);
    }
}

StoreSession::~StoreSession()
{
    bcsp_port_close();
}

bool StoreSession::finish_after_writes()
{
    const bool sent = cold_reset() != 0;
    if (sent) {
        report_.say("Cold reset sent: the chip restarts from its store.");
    } else {
        report_.say("The cold reset was not acknowledged: the chip takes the new values when it next starts.");
    }
    sleep_ms(COLD_RESET_PAUSE_MS);
    bcsp_port_close();
    return sent;
}

void StoreSession::close()
{
    bcsp_port_close();
}

void StoreSession::end()
{
    bcsp_port_close();
    report_.say(STORE_HANDED_OVER);
}

StoreOrigin StoreSession::origin() const
{
    return StoreOrigin{store_utc_date(), port_.name, firmware_, build_id_};
}
