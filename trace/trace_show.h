// A wire trace for people: the readable timeline (`marrowlink trace show`)
// and the picture (`marrowlink trace svg`).
#pragma once

#include <ostream>
#include <string>

#include "trace/trace_read.h"

struct TraceShowOptions {
    bool raw = false;   // every call with its bytes, nothing decoded
    std::string phase;  // only this phase ("pnp", "command", "bcsp"); "" for all
};

// One line per event or decoded unit: time in seconds from the start,
// direction ("->" to the adapter, "<-" from it), phase, meaning, bytes in hex.
// Bytes a cut trace leaves undecoded are shown at the end.
void trace_show(const TraceFile& trace, const TraceShowOptions& options, std::ostream& out);

// Text from a trace, safe to print to a terminal: control characters (C0,
// DEL, and the C1 ones U+0080..U+009F) as \\xNN or \\u00NN, and bytes that
// are no UTF-8 as \\xNN, so that an escape sequence in a version text or a
// port name is shown, never obeyed. Everything else, UTF-8 letters included,
// as it stands.
std::string trace_printable(const std::string& text);

// A field as text: a text as it stands, anything else as JSON, "" when the
// field is missing or object is no object (a trace's fields are not trusted).
std::string trace_field_text(const TraceJson& object, const char* field);

// The traced command and, unless the command names it already, " on " its port.
std::string trace_command_text(const TraceJson& header);

// The meaning of one decoded unit, in words.
std::string trace_unit_text(const TraceJson& unit);

// The timeline as an SVG picture: the phases as lanes, each direction a row,
// every decoded unit a mark; repeats and errors in their own colours.
void trace_svg(const TraceFile& trace, std::ostream& out);
