#include "app/cmdline.h"
#include "app/cycle.h"
#include "app/monitor.h"
#include "app/records.h"
#include "stack/al/modpl.h"
#include "stack/trace/trace.h"

#include <cstdio>

int main(int argc, char **argv) {
    // Static: the value list and the stack context are too large for a comfortable stack frame.
    static RunSettings settings;
    runSettingsDefaults(&settings);
    traceInit();
    traceOn();
    if (versionAsked(argc, argv)) {
        printBanner();
        return 0;
    }
    // Whatever else the line holds: a write on it is never sent.
    if (helpAsked(argc, argv)) {
        printBanner();
        printUsage();
        printExtensions();
        printf("\nExiting.\n");
        return 10;
    }
    // Known before anything is printed, so that the banner already goes where it belongs.
    recordsOpen(outputFormatAsked(argc, argv), scanAsked(argc, argv), monitorAsked(argc, argv));
    traceSetProgress(!quietAsked(argc, argv));
    if (traceProgress())
        printBanner();
    parseArguments(&settings, argc, argv);
    // -LA makes a server's "/port" "@address/port", which listens on that address only.
    static char listenText[moddlPortTextSize];
    if (settings.listenAddress &&
        modplServerText(listenText, sizeof listenText, settings.portText, settings.listenAddress))
        settings.portText = listenText;
    // A quiet run has no link trace either, whatever -PK said.
    if (settings.quiet)
        traceOff();
    traceSetReportsOwnLine(settings.quiet || settings.scanFirst != 0);
    if (settings.monitor)
        return monitorRun(&settings);
    return runRequestCycle(&settings);
}
