// libFuzzer targets, one per build: FUZZ_RX reads [channel kind] then [length][delay ms][bytes...]
// chunks (a delay of 255 breaks the connection; kind bit 0 makes a socket, whose rebuild meets a
// refusing loopback port, bit 1 Modbus TCP framing, bit 2 the slave role, received twice so that
// what it kept is read again), FUZZ_DECODE
// [role/link bits][preset count][unit][PDU...] as one good frame, FUZZ_ARGS NUL-split arguments.
#include "app/cmdline.h"
#include "stack/al/modpl.h"
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
    ctx.link.isSerial = (data[0] >> 1) & 1;
    ctx.link.ownUnit = ctx.link.peerUnit = 100;
    script.reads.push_back({rtuFrame(data[2], Bytes(data + 3, data + size))});
    scriptPortBind(&ctx.link.port, &script);
    int16_t values[16] = {};
    ModbusMessage msg{0, 0, 4, 10, int16_t(int16_t(data[1]) - 32), values, 16};
    modplGetReply(&ctx, &msg);
#endif
#endif
    return 0;
}
