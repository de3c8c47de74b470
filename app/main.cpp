#include "app/cmdline.h"
#include "app/cycle.h"
#include "app/records.h"
#include "stack/al/modpl.h"
#include "stack/trace/trace.h"

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
    // Known before anything is printed, so that the banner already goes where it belongs.
    recordsOpen(outputFormatAsked(argc, argv));
    printBanner();
    parseArguments(&settings, argc, argv);
    // -LA makes a server's "/port" "@address/port", which listens on that address only.
    static char listenText[moddlPortTextSize];
    if (settings.listenAddress &&
        modplServerText(listenText, sizeof listenText, settings.portText, settings.listenAddress))
        settings.portText = listenText;
    return runRequestCycle(&settings);
}
