// The socket driver before any open, on every platform. A refused open is the end-to-end
// row refused_connect, byte for byte on both.
#include "stack/drivers/port.h"
#include "tests/support/support.h"

namespace {

// A client channel on this port text, never opened, after one control request: the port in
// network order | the request's result | both time-outs | read, write, close and their counts.
std::function<std::string()> unopened(const char *portText, int32_t request, uint32_t value) {
    return [=] {
        PortChannel ch{};
        socketInstallClient(&ch, portText, "127.0.0.1");
        uint32_t readMs = 0, writeMs = 0, n = 9, m = 9;
        uint8_t buf[4] = {};
        const int32_t r = ioControl(&ch, request, value);
        Steps steps;
        steps << "|" << r << "|" << ioControl(&ch, GetReadTimeout, &readMs) << readMs
              << ioControl(&ch, GetWriteTimeout, &writeMs) << writeMs << "|"
              << ioRead(&ch, buf, 4, &n) << n << ioWrite(&ch, buf, 4, &m) << m << ioClose(&ch);
        const auto *port =
            reinterpret_cast<const uint8_t *>(&ch.driver.socket.sockAddress.sin_port);
        return socketRelease(&ch), hex(port, 2) + " " + steps.text;
    };
}

INSTANTIATE_TEST_SUITE_P(
    SocketDriver, Rows,
    testing::Values(Row{"PortGoesInNetworkOrderAndNothingWorksBeforeTheOpen",
                        unopened("3722", 0, 0), " 0e 8a | 4 | 0 200 0 200 | 9 0 9 0 9 "},
                    Row{"TimeoutOf1000MsIsOneSecond", unopened("1", SetReadTimeout, 1000),
                        " 00 01 | 0 | 0 1000 0 1000 | 9 0 9 0 9 "}),
    rowName);

} // namespace
