// A BCCMD responder on top of the scripted BCSP peer: it answers build-id and
// persistent-store requests from a small in-memory store, and can be told to
// answer wrongly (status, varid, type, short) or not at all.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "bcsp_peer.h"

using Words = std::vector<std::uint16_t>;

struct ScriptedChip {
    std::uint16_t build_id = 0x0BEE;
    std::map<std::uint16_t, Words> store;  // persistent-store keys

    // Faults of the next answers.
    int silent = 0;               // answer nothing
    std::uint16_t status = 0;     // status word of every answer
    int varid_offset = 0;         // added to the answer's varid
    std::uint16_t type = 1;       // type word of every answer
    int seqno_offset = 0;         // added to the answer's seqno
    int answer_bytes = -1;        // cut every answer to this many bytes (-1: whole)

    // What it got: each BCCMD request as words.
    std::vector<Words> requests;
};

// Plugs chip behind peer (peer->on_packet and peer->user).
void scripted_chip_attach(BcspPeer* peer, ScriptedChip* chip);

// Little-endian words of a byte run (an odd last byte is dropped).
Words bytes_to_words(const Bytes& bytes);
