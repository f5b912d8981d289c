// The readable timeline and the picture of a trace: what the adapter said in
// words, in order; a trace cut anywhere shows everything before the cut.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bccmd/bccmd.h"
#include "cmdport/command_port.h"
#include "fake_chip.h"
#include "fake_fixture.h"
#include "trace/trace_show.h"
#include "trace_test_support.h"

namespace {

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream input(text);
    for (std::string line; std::getline(input, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string shown(const std::string& trace_text, const TraceShowOptions& options = {})
{
    std::istringstream input(trace_text);
    std::ostringstream out;
    trace_show(trace_read(input), options, out);
    return out.str();
}

class TraceShowTest : public TraceFakeTest {
protected:
    std::string text;  // a recorded contact and BCSP session

    void SetUp() override
    {
        TraceFakeTest::SetUp();
        {
            TraceTestRecording recording(path);
            ASSERT_EQ(trace_test_contact(trace_test_adapter()), 1);
            start_chip();
            trace_test_bcsp_session();
        }
        std::ifstream file(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
};

TEST_F(TraceShowTest, TheTimelineSaysWhatWasSaidInOrder)
{
    const std::string timeline = shown(text);
    const std::vector<std::string> in_order = {
        "# marrowlink test: probe --chip on COM1 (linux), started 20",
        "open \\\\.\\COM1",
        "line settings 1200 8N1, DTR disable, RTS disable (pnp)",
        "RTS low",
        "<-  pnp      Plug-and-Play reply \"QXZ4702\" (revision 0124), then \"\\x5c!\"  [28 01 24 51",
        "line settings 115200 8N1, DTR disable, RTS enable (command)",
        "->  command  setup request \"LUMA PORT SETUP\"",
        "<-  command  handshake answer \"LUMA PORT READY\"",
        "->  command  adapter command identify (0x00f7)  [01 f7 00 00]",
        "reply frame 1501, 41 bytes: version \"Veltrane_Tools Marrowlink Firmware 1.2.9\" (standard)",
        "purge input output",
        "line settings 115200 8E1, DTR disable, RTS enable (bcsp)",
        "time-outs: reads return at once, write 0 ms a byte + 0 ms",
        "->  bcsp     BCSP SYNC  [c0 40 41 00 7e da dc ed ed a9 7a c0]",
        "<-  bcsp     BCSP CONF_RESP",
        "BCCMD get BUILD_ID seqno 0",
        "BCCMD response BUILD_ID seqno 0 OK, build id 4835",
        "BCCMD set PS seqno 1, key 0x024b length 1: 0x0028",
        "BCCMD response PS seqno 1 OK, key 0x024b length 1: 0x0028",
        "BCCMD get PS seqno 2, key 0x024b length 1: 0x0000",
        "BCCMD response PS seqno 2 OK, key 0x024b length 1: 0x0028",
        "BCCMD set COLD_RESET seqno 3",
        "<-  bcsp     BCSP ack 4  [c0 60 00 00 9f dd 6f c0]",
        "close",
    };
    std::size_t at = 0;
    for (const std::string& wanted : in_order) {
        const std::size_t found = timeline.find(wanted, at);
        ASSERT_NE(found, std::string::npos) << "\"" << wanted << "\" not after byte " << at << " of\n" << timeline;
        at = found + wanted.size();
    }
    EXPECT_EQ(timeline.find("unfinished"), std::string::npos) << timeline;
    EXPECT_EQ(timeline.find("not decoded yet"), std::string::npos);
    EXPECT_EQ(timeline.find("the trace ends"), std::string::npos);
}

TEST_F(TraceShowTest, RawAndPhaseFilter)
{
    TraceShowOptions raw;
    raw.raw = true;
    const std::string bytes_only = shown(text, raw);
    EXPECT_NE(bytes_only.find("<-  pnp      read 1 of 1 bytes  [28]"), std::string::npos) << bytes_only;
    EXPECT_EQ(bytes_only.find("Plug-and-Play"), std::string::npos);
    EXPECT_EQ(bytes_only.find("BCCMD"), std::string::npos);

    TraceShowOptions pnp;
    pnp.phase = "pnp";
    const std::string only_pnp = shown(text, pnp);
    EXPECT_NE(only_pnp.find("Plug-and-Play reply"), std::string::npos);
    for (const std::string& line : lines_of(only_pnp)) {
        if (!line.starts_with("#")) {
            EXPECT_EQ(line.find("command "), std::string::npos) << line;
            EXPECT_EQ(line.find("bcsp "), std::string::npos) << line;
        }
    }
}

// A run that dies mid-way leaves a trace cut at any byte: its timeline is the
// whole run's timeline up to the cut, then what was not decoded yet.
TEST_F(TraceShowTest, ATraceCutAtARandomByteShowsUpToTheCut)
{
    const std::vector<std::string> whole = lines_of(shown(text));
    std::mt19937 random(13);
    std::uniform_int_distribution<std::size_t> any_byte(1, text.size() - 1);
    for (int round = 0; round < 40; ++round) {
        const std::size_t cut = any_byte(random);
        std::vector<std::string> lines = lines_of(shown(text.substr(0, cut)));
        while (!lines.empty() && (lines.back().starts_with("# the trace ends") ||
                                  lines.back().find("not decoded yet when the trace ends") != std::string::npos)) {
            lines.pop_back();
        }
        ASSERT_LE(lines.size(), whole.size()) << "cut at byte " << cut;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            ASSERT_EQ(lines[i], whole[i]) << "cut at byte " << cut << ", line " << i;
        }
        // Everything before the line the cut fell in is shown.
        const std::size_t lines_before = static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<long>(cut), '\n'));
        const std::size_t whole_before = lines_before + (text[cut] == '\n' ? 1 : 0);  // cut right before a newline
        if (whole_before > 1) {
            std::istringstream input(text.substr(0, cut));
            EXPECT_EQ(trace_read(input).events.size(), whole_before - 1) << "cut at byte " << cut;
        }
    }
}

// A trace comes from someone else: no text in it reaches the terminal raw,
// wherever it is shown (the header, a port name, an event name, a phase, a
// decoded text), and letters that are UTF-8 stay as they are.
TEST(TraceShow, ControlCharactersFromTheTraceAreShownEscaped)
{
    struct Case {
        const char* name;
        std::string line;  // after the header; "" for the header case
        const char* shown;
    };
    const std::string header =
        R"({"event":"header","format":1,"program":"marrowlink\u001b[2J","command":"probe","port":"COM\u009b1",)"
        R"("platform":"li\u0007nux","start":"20\u007f"})";
    const Case cases[] = {
        {"header fields", "", "# marrowlink\\x1b[2J: probe on COM\\u009b1 (li\\x07nux), started 20\\x7f"},
        {"port name", R"({"t_us":1,"event":"open","port":"\u001b]0;owned\u0007"})", "open \\x1b]0;owned\\x07"},
        {"event name", R"({"t_us":1,"event":"\u009b31mred"})", "\\u009b31mred"},
        {"phase", R"({"t_us":1,"event":"read","phase":"p\u001bx","bytes":""})", "<-  p\\x1bx   "},
        {"decoded text", R"({"t_us":1,"event":"read","bytes":"28","decoded":[{"kind":"reply_frame","code":"x",)"
                         R"("length":1,"version":"1.2\u001b[1m\r\n","variant":"std"}]})",
         "version \"1.2\\x1b[1m\\x0d\\x0a\""},
        {"UTF-8 letters", R"({"t_us":1,"event":"open","port":"Gerät \u00e9"})", "open Gerät é"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string timeline = shown(header + "\n" + c.line + "\n");
        EXPECT_NE(timeline.find(c.shown), std::string::npos) << timeline;
        for (std::size_t i = 0; i < timeline.size(); ++i) {
            const unsigned char byte = static_cast<unsigned char>(timeline[i]);
            const bool c1 = byte == 0xC2 && i + 1 < timeline.size() &&
                            static_cast<unsigned char>(timeline[i + 1]) >= 0x80 &&
                            static_cast<unsigned char>(timeline[i + 1]) <= 0x9F;
            ASSERT_TRUE((byte >= 0x20 && byte != 0x7F && !c1) || byte == '\n') << "byte " << i << ": " << timeline;
        }
    }
    // Bytes that are no UTF-8 at all (a text the reader did not parse) as \xNN.
    EXPECT_EQ(trace_printable(std::string("a\xff\xc3(b\xe2\x82", 7)), "a\\xff\\xc3(b\\xe2\\x82");
}

TEST(TraceSvg, MarksAreColouredByWhatHappened)
{
    const std::string text =
        R"({"event":"header","format":1,"program":"marrowlink 1.1.0","command":"update","port":"COM5","start":"2026-12-08T14:02:11Z"})" "\n"
        R"({"t_us":0,"event":"open","port":"\\\\.\\COM5"})" "\n"
        R"({"t_us":10,"event":"settings","phase":"bcsp","baud":115200})" "\n"
        R"({"t_us":20,"event":"write","bytes":"c0","decoded":[{"kind":"bcsp","check":"ok","reliable":true,"bytes":"c0"}]})" "\n"
        R"({"t_us":30,"event":"write","bytes":"c0","decoded":[{"kind":"bcsp","check":"ok","reliable":true,"retransmission":true,"bytes":"c0"}]})" "\n"
        R"({"t_us":40,"event":"read","bytes":"c0","decoded":[{"kind":"bcsp","check":"crc","bytes":"c0"}]})" "\n"
        R"({"t_us":50,"event":"read","bytes":"c0","decoded":[{"kind":"bcsp","check":"ok","bytes":"c0","bccmd":{"status":"ERROR"}}]})" "\n"
        R"({"t_us":60,"event":"close","ok":false,"error":6})" "\n";
    std::istringstream input(text);
    std::ostringstream out;
    trace_svg(trace_read(input), out);
    const std::string svg = out.str();
    ASSERT_TRUE(svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_TRUE(svg.ends_with("</svg>\n"));
    auto count = [&](const std::string& needle) {
        std::size_t n = 0;
        for (std::size_t at = svg.find(needle); at != std::string::npos; at = svg.find(needle, at + 1)) {
            ++n;
        }
        return n;
    };
    // One each: the frame, the repeat; errors: bad CRC, refused, failed close; plus the legend's.
    EXPECT_EQ(count("fill=\"#d9822b\""), 1u + 1);
    EXPECT_EQ(count("fill=\"#e0b000\""), 1u + 1);
    EXPECT_EQ(count("fill=\"#b02a2a\""), 3u + 1);
    EXPECT_NE(svg.find(">marrowlink 1.1.0 update on COM5</text>"), std::string::npos);
    EXPECT_NE(svg.find(">Wire trace started 2026-12-08T14:02:11Z (s from the start)</text>"), std::string::npos);
    EXPECT_NE(svg.find("<title>BCSP (bad CRC)</title>"), std::string::npos);
    EXPECT_EQ(count("<svg"), 1u);
}

// Frames a pixel apart overlap in the picture: a refused answer drawn before
// the ordinary frame beside it would vanish under it. A title that names the
// port in its command does not name it again, and a long one is cut to fit.
TEST(TraceSvg, ErrorsStayOnTopAndTheTitleFits)
{
    const std::string port = "/tmp/marrowlink-e2e-" + std::string(80, 'x') + "/com1";
    const std::string text =
        R"({"event":"header","format":1,"program":"marrowlink 1.1.0","command":"update --port )" + port +
        R"(","port":")" + port + R"(","start":"2026-12-08T14:02:11Z"})" "\n"
        R"({"t_us":10,"event":"settings","phase":"bcsp","baud":115200})" "\n"
        R"({"t_us":50,"event":"read","bytes":"c0","decoded":[{"kind":"bcsp","check":"ok","bytes":"c0","bccmd":{"status":"ERROR"}},)"
        R"({"kind":"bcsp","check":"ok","bytes":"c0"}]})" "\n"
        R"({"t_us":51,"event":"read","bytes":"c0","decoded":[{"kind":"bcsp","check":"ok","bytes":"c0"}]})" "\n";
    std::istringstream input(text);
    std::ostringstream out;
    trace_svg(trace_read(input), out);
    const std::string svg = out.str();
    const std::size_t refused = svg.find("fill=\"#b02a2a\"><title>");
    const std::size_t last_ordinary = svg.rfind("fill=\"#2b8a3e\"><title>");
    ASSERT_NE(refused, std::string::npos);
    ASSERT_NE(last_ordinary, std::string::npos);
    EXPECT_GT(refused, last_ordinary) << "the refused answer is drawn over its neighbours";

    const std::size_t title_start = svg.find(">marrowlink 1.1.0 update --port /tmp/marrowlink-e2e-");
    ASSERT_NE(title_start, std::string::npos);
    const std::string title = svg.substr(title_start + 1, svg.find("</text>", title_start) - title_start - 1);
    EXPECT_LE(title.size(), 115u);
    EXPECT_TRUE(title.ends_with("...")) << title;
    EXPECT_EQ(title.find(" on /tmp"), std::string::npos) << title;
}

}  // namespace
