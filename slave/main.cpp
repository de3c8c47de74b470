// korvalen-slave: serves one unit address from an in-memory image on a serial port, as a TCP
// client, or as a TCP server of many masters, through the stack in the slave role. Prints one
// line per request it took and stops on SIGINT or SIGTERM, or after a number of requests or
// seconds, always through the stack's close, so that a serial device gets its settings back.
#include "slave/image.h"
#include "slave/options.h"
#include "slave/serve.h"
#include "stack/drivers/interrupt.h"
#include "stack/trace/trace.h"

#include <cctype>
#include <cstdio>

int main(int argc, char **argv) {
    // Static: four 65,536-entry tables.
    static SlaveImage image;
    static SlaveSettings settings;
    imageSeed(&image);
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *b = "--VERSION";
        while (*b != '\0' && toupper(static_cast<unsigned char>(*a)) == *b)
            ++a, ++b;
        if (*a == '\0' && *b == '\0') {
            printf("KORVALEN-SLAVE v1.5:  Compiled at %s %s\n", __DATE__, __TIME__);
            return slaveStatusOk;
        }
    }
    const int parsed = parseSlaveArguments(&settings, &image, argc, argv);
    if (parsed != slaveStatusOk)
        return parsed;
    if (argc < 2) {
        printSlaveUsage();
        return slaveStatusOk;
    }
    if (!settings.run)
        return slaveStatusOk;
    // -LA makes "/port" "@address/port", which listens on that address only.
    static char listenText[moddlPortTextSize];
    if (settings.listenAddress && settings.portText[0] != '/') {
        fprintf(stderr, "korvalen-slave: -LA needs a server port, as -SK/1502\n");
        return slaveStatusUsage;
    }
    if (settings.listenAddress) {
        if (!modplServerText(listenText, sizeof listenText, settings.portText,
                             settings.listenAddress)) {
            fprintf(stderr, "korvalen-slave: port text too long: '%s'\n", settings.portText);
            return slaveStatusUsage;
        }
        settings.portText = listenText;
    }
    interruptCatchSignals();
    interruptAfter(settings.maxSeconds);
    static FaultRun faults;
    faultStart(&faults, &settings.faults);
    FaultRun *const run = settings.faults.count > 0 ? &faults : nullptr;
    char seed[32] = "";
    if (run)
        snprintf(seed, sizeof seed, ", fault seed %u", faults.seed);
    if (settings.unitsText)
        traceLogLine("korvalen-slave: units %s on %s%s", settings.unitsText, settings.portText,
                     seed);
    else
        traceLogLine("korvalen-slave: unit %d on %s%s", settings.unit, settings.portText, seed);
    // "/port" listens; any other text is one channel, a serial port or a connection to a master.
    const int status = settings.portText[0] == '/' || settings.portText[0] == '@'
                           ? serveMasters(&settings, &image, run)
                           : serveChannel(&settings, &image, run);
    if (run && status == slaveStatusOk) {
        char counts[256];
        faultCountText(run, counts, sizeof counts);
        traceLogLine("korvalen-slave: faults injected: %s", counts);
    }
    return status;
}
