// libFuzzer targets, one per build: FUZZ_RX reads [channel kind] then [length][delay ms][bytes...]
// chunks (a delay of 255 breaks the connection; kind bit 0 makes a socket, whose rebuild meets a
// refusing loopback port, bit 1 Modbus TCP framing, bit 2 the slave role, received twice so that
// what it kept is read again), FUZZ_DECODE [role/link/request bits][preset count][unit][PDU...]
// as one good frame (to a master, the answer to a request of the bits' shape), FUZZ_ARGS NUL-split
// arguments (their values then read in the type given, and each as a slave's fault spec),
// FUZZ_TYPED [type][order][value text...], FUZZ_IDENT the bytes as an identity answer to either
// decoder, as an answer of functions 7, 8, 22, 23 or 24 and as -PDU's hex (FUZZ_DECODE's slave
// answers functions 17 and 43 from an identity of seven full objects, 7, 22 and 23 from a register
// image), FUZZ_MONITOR [length, bit 7 a quiet line after][bytes...] chunks heard by the line
// monitor's cutter.
#include "app/cmdline.h"
#include "app/values.h"
#include "slave/fault.h"
#include "stack/al/extra.h"
#include "stack/al/ident.h"
#include "stack/al/modpl.h"
#include "stack/dl/crc16.h"
#include "stack/dl/monitor.h"
#include "stack/trace/trace.h"
#include "tests/support/support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
#if defined(FUZZ_ARGS)
    static RunSettings settings; // too big for a fuzzer's stack frame
    std::vector<std::string> texts{"k", ""};
    for (size_t i = 0; i < size && texts.size() < 3000; ++i)
        data[i] ? void(texts.back() += char(data[i])) : void(texts.emplace_back());
    std::vector<char *> argv;
    for (std::string &t : texts)
        argv.push_back(t.data());
    runSettingsDefaults(&settings);
    parseArguments(&settings, int(argv.size()), argv.data());
    valuesPrepare(&settings, 4);
    char listenText[moddlPortTextSize];
    modplServerText(listenText, sizeof listenText, settings.portText, settings.listenAddress);
    // The same texts as the slave's fault specs, each plan's hits shaped into an answer.
    static FaultPlan plan;
    static FaultAnswer answer;
    plan = FaultPlan{};
    for (const std::string &t : texts)
        faultParse(&plan, t.c_str());
    FaultRun run;
    faultStart(&run, &plan);
    const uint8_t frame[7] = {0x64, 0x03, 0x02, 0x00, 0x01, 0x35, 0x8c};
    for (int i = 0; i < 4; ++i) {
        FaultHit hit;
        faultDecide(&run, &hit);
        faultText(&hit, listenText, sizeof listenText);
        faultShape(&run, &hit, frame, sizeof frame, i & 1, &answer, 0);
    }
    faultCountText(&run, listenText, sizeof listenText);
#elif defined(FUZZ_TYPED)
    if (size < 2)
        return 0;
    const DataType type = DataType(data[0] % 11);
    const WordOrder order = WordOrder(data[1] % 4);
    const std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
    uint16_t registers[127] = {}, again[4] = {};
    const int32_t n = typedEncode(text.c_str(), type, order, registers, 127);
    char out[1024];
    typedFormat(registers, 127, type, order, out, sizeof out);
    for (int32_t line = 0; line < 4; ++line)
        typedAllLine(registers, 2, line, out + 512, 512);
    // A number's text reads back as the same registers; a NaN as the one NaN.
    if (n > 0 && type != DataType::String && strcmp(out, "nan") != 0 &&
        (typedEncode(out, type, order, again, 4) != n || memcmp(again, registers, 2 * n) != 0))
        abort();
#elif defined(FUZZ_MONITOR)
    // Every byte heard comes out once, in an item; every frame checks.
    static MonitorCutter cutter;
    static MonitorItem item;
    monitorReset(&cutter);
    size_t pushed = 0, out = 0;
    auto drain = [&] {
        while (monitorNext(&cutter, &item)) {
            if (item.length == 0 ||
                (item.kind == MonitorKind::Frame && moddlCrc16(item.length, item.frame) != 0))
                abort();
            out += item.length;
        }
    };
    for (size_t at = 0; at < size;) {
        const size_t n = std::min<size_t>(data[at] & 0x7F, size - at - 1);
        for (size_t taken = 0; taken < n; drain())
            taken += monitorPush(&cutter, data + at + 1 + taken, uint32_t(n - taken), 0);
        pushed += n;
        if (data[at] & 0x80)
            monitorQuiet(&cutter);
        drain();
        at += 1 + n;
    }
    monitorQuiet(&cutter);
    drain();
    if (out != pushed)
        abort();
#elif defined(FUZZ_IDENT)
    static IdentDevice device;
    IdentServerId id;
    uint8_t exception = 0, next = 0;
    bool more = false;
    identDecodeServerId(data, uint32_t(size), &id, &exception);
    identDecodeDevice(data, uint32_t(size), &device, &exception, &more, &next);
    ExtraReply reply;
    extraDecode(data, uint32_t(size), &reply);
    const std::string text(reinterpret_cast<const char *>(data), size);
    uint8_t pdu[extraPduMost];
    extraParseHex(text.c_str(), pdu, sizeof pdu);
#else
    traceOff();
    fakeClockReset(1000);
    ScriptPort script;
    StackContext ctx{};
    modplInstall(&ctx, modplMaster);
    ctx.link.isSerial = ctx.link.ownUnit = ctx.link.peerUnit = 1;
    ctx.link.timing = LinkTiming{0, 0, 5, 2, 1800000};
#if defined(FUZZ_RX)
    if (size == 0)
        return 0;
    ctx.link.isSerial = !(data[0] & 1);
    ctx.link.framing = (data[0] & 2) ? framingMbap : framingRtu;
    const bool slave = (data[0] & 4) != 0;
    if (slave)
        modplInstall(&ctx, modplSlave);
    std::memcpy(ctx.link.portText, "127.0.0.1\0001", 12);
    for (size_t at = 1; at + 2 <= size; at += 2 + data[at]) {
        const size_t n = std::min<size_t>(data[at], size - at - 2);
        const int32_t result = data[at + 1] == 255 ? IoBroken : IoOk;
        script.reads.push_back({Bytes(data + at + 2, data + at + 2 + n), data[at + 1], result});
    }
    scriptPortBind(&ctx.link.port, &script);
    uint8_t pdu[256];
    PduRecord record{0, pdu};
    moddlReceive(&ctx.link, &record); // a failed reopen has closed its socket already
    if (slave && !ctx.link.connectionLost)
        moddlReceive(&ctx.link, &record);
#else
    if (size < 3 || size > 3 + moddlMaxFrame)
        return 0;
    modplInstall(&ctx, (data[0] & 1) ? modplSlave : modplMaster);
    static IdentDevice identity;
    identity.present = 0x7f;
    std::fill(std::begin(identity.length), std::end(identity.length), uint8_t(identValueMost));
    identServeFrom(&ctx, &identity);
    static uint16_t registers[65536];
    const uint8_t status = data[1];
    extraServeFrom(&ctx, registers, &status);
    ctx.link.isSerial = (data[0] >> 1) & 1;
    ctx.link.ownUnit = ctx.link.peerUnit = 100;
    script.reads.push_back({rtuFrame(data[2], Bytes(data + 3, data + size))});
    scriptPortBind(&ctx.link.port, &script);
    int16_t values[16] = {};
    ModbusMessage msg{0, 0, 4, 10, int16_t(int16_t(data[1]) - 32), values, 16};
    // Kind and single from bits 2 and 4, the type from bits 5 to 7.
    ModbusMessage asked{(data[0] >> 2) & 5u, 0, uint16_t(data[0] >> 5), 10, msg.count, values, 16};
    if (!(data[0] & 1))
        modplSendRequest(&ctx, 100, &asked);
    modplGetReply(&ctx, &msg);
#endif
#endif
    return 0;
}
