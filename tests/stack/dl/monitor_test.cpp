// The line monitor's cutter: what comes out of chunks heard, each item as its kind (F a frame, B
// a bad CRC, N noise) and length, with its time when the row asks; "|" a quiet line.
#include "stack/dl/monitor.h"
#include "tests/support/support.h"

namespace {

struct Heard {
    Bytes bytes;
    bool quiet = false;
    uint32_t tick = 0;
};

std::function<std::string()> cut(std::vector<Heard> chunks, uint32_t byteNs = 0) {
    return [=] {
        static MonitorCutter c;
        static MonitorItem item;
        monitorReset(&c);
        c.byteNs = byteNs;
        Steps out;
        for (const Heard &h : chunks) {
            for (size_t taken = 0; taken < h.bytes.size();)
                for (taken += monitorPush(&c, h.bytes.data() + taken,
                                          uint32_t(h.bytes.size() - taken), h.tick);
                     monitorNext(&c, &item);)
                    out << ("FBN"[int(item.kind)] + str(item.length) +
                            (byteNs ? "@" + str(item.tick) : ""))
                               .c_str();
            if (h.quiet)
                monitorQuiet(&c), out << "|";
            while (monitorNext(&c, &item))
                out << ("FBN"[int(item.kind)] + str(item.length)).c_str();
        }
        const std::string text = out;
        return text.substr(0, text.size() - 1);
    };
}

const Bytes req = rtuFrame(1, {3, 0, 0, 0, 2}), rep = rtuFrame(1, {3, 4, 0, 1, 0, 2});
const Bytes wr = rtuFrame(1, {16, 0, 1, 0, 2, 4, 0, 10, 0, 11}),
            echo = rtuFrame(1, {16, 0, 1, 0, 2});
Bytes spoilt(Bytes b) {
    return b[3] ^= 1, b;
}
Bytes operator+(Bytes a, const Bytes &b) {
    return a.insert(a.end(), b.begin(), b.end()), a;
}

INSTANTIATE_TEST_SUITE_P(
    Monitor, Rows,
    testing::Values(
        Row{"RequestAndReplyBackToBackAreCutByLength", cut({{req + rep + wr + echo}}),
            "F8 F9 F13 F8"},
        Row{"ShorterFramesOfOtherCodesByTheirLengths",
            cut({{rtuFrame(2, {0x83, 2}) + rtuFrame(1, {7}) + rtuFrame(1, {7, 5}) +
                  rtuFrame(1, {24, 0, 6, 0, 2, 0, 1, 0, 9}) +
                  rtuFrame(1, {23, 0, 0, 0, 1, 0, 5, 0, 1, 2, 0, 7})}}),
            "F5 F4 F5 F12 F15"},
        // Only a length the code implies makes a spoilt frame a bad CRC rather than noise.
        Row{"SpoiltFramesOfEveryCodeAreBadCrcs",
            [] {
                std::vector<Heard> heard;
                for (const Bytes &pdu : std::vector<Bytes>{
                         {11}, {12, 1, 0}, {17, 1, 0}, {20, 1, 0}, {21, 1, 0}, {22, 0, 0, 0, 0, 0, 0},
                         {8, 0, 0, 0, 0}, {16, 0, 0, 0, 1, 2, 0, 0}, {15, 0, 0, 0, 1, 1, 0}, {3, 2, 0, 0}, {0x83, 2}, {23, 2, 0, 0}, {24, 0, 0}, {23, 0, 0, 0, 0, 0, 0, 0, 0, 0}})
                    heard.push_back({spoilt(rtuFrame(1, pdu)), true});
                return cut(heard)();
            },
            "| B4 | B6 | B6 | B6 | B6 | B10 | B8 | B11 | B10 | B7 | B5 | B7 | B6 | B13"},
        Row{"UnknownCodeEndsWhereItsCrcChecks", cut({{rtuFrame(1, {0x41, 9, 9}) + req}}), "F6 F8"},
        Row{"FrameInPiecesIsJoined",
            cut({{{1, 3}}, {{4, 0, 1}}, {Bytes(rep.begin() + 5, rep.end())}}), "F9"},
        Row{"NoiseBeforeAFrameIsNoise", cut({{Bytes{0, 0xff, 0x13} + req}}), "N3 F8"},
        Row{"SpoiltFrameBeforeAFrameIsABadCrc", cut({{spoilt(req) + rep}}), "B8 F9"},
        Row{"SpoiltFrameAloneWaitsForAQuietLine", cut({{spoilt(rep)}, {{}, true}}), "| B9"},
        Row{"CutShortFrameIsNoiseOnAQuietLine", cut({{Bytes(rep.begin(), rep.end() - 2), true}}),
            "| N7"},
        Row{"FullBufferOfNoiseKeepsAFramesWorth", cut({{Bytes(600, 0x55)}, {{}, true}}),
            "N256 | N344"},
        // 1200 baud 8E1, then 8N2: 11 bits a character; a gap of two characters, a quiet of four.
        Row{"CharacterTimesComeFromTheRateAndFormat",
            [] {
                Steps out;
                for (uint32_t word : {2u << line::parityShift, 2u << line::stopBitsShift}) {
                    LinkContext ctx{};
                    ScriptPort script;
                    static MonitorCutter c;
                    scriptPortBind(&ctx.port, &script);
                    script.lineWord = word;
                    ctx.baudRate = 1200;
                    monitorPrepare(&ctx, &c);
                    out << c.byteNs << c.quietMs << script.controls.back().second;
                }
                return std::string(out);
            },
            "9166666 37 19 9166666 37 19 "},
        Row{"AFramesTimeIsItsReadsLessTheBytesBehindIt", cut({{req + rep, false, 20000}}, 1000000),
            "F8@11000 F9@20000"}),
    rowName);

} // namespace
