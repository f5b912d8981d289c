// The chip on its BCSP link for the store commands, reached as the update
// reaches it (the adapter woken, identified and handed over); the link is
// closed when the session ends, whatever ends it.
#pragma once

#include <string>

#include "tool/command.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"
#include "tool/store_file.h"

class StoreSession {
public:
    // Contacts the adapter on the context's port and links with its chip;
    // throws the ToolFailure of a step that fails.
    StoreSession(const ToolContext& context, Report& report);
    ~StoreSession();
    StoreSession(const StoreSession&) = delete;
    StoreSession& operator=(const StoreSession&) = delete;

    // The chip restarts from its store, as after an update. 1 when the reset
    // was acknowledged.
    bool finish_after_writes();
    // The link closed, quietly.
    void close();
    // The link closed; what the adapter needs next.
    void end();

    StoreOrigin origin() const;
    const std::string& firmware() const { return firmware_; }
    int build_id() const { return build_id_; }  // -1: not read

private:
    Report& report_;
    ToolPort port_;
    std::string firmware_;
    int build_id_ = -1;
};

// "2026-12-08 14:02 UTC": when a backup was taken.
std::string store_utc_date();
