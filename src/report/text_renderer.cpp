// The specified text: reply, time-out, route and statistics lines, and the run's totals.
#include "report/text_renderer.h"

#include "report/lines.h"
#include "support/output_sink.h"

namespace quilvane {

void TextRenderer::reply(const ReplyEvent& event) {
    printReplyLine(*event.echo.settings, event.echo.stamp, event.number, event.echo.address,
                   event.ms, event.ttl, event.tos);
}

void TextRenderer::timeout(const TimeoutEvent& event) {
    if (event.code) {
        printCodedTimeoutLine(*event.echo.settings, event.echo.stamp, event.echo.address,
                              *event.code);
    } else {
        printTimeoutLine(*event.echo.settings, event.echo.stamp, event.echo.address);
    }
}

void TextRenderer::dontFragment(const DontFragmentEvent&) {
    printMessage("Packet size exceeds MTU and needs to be fragmented but DF set.\n");
}

void TextRenderer::route(const RouteEvent& event) {
    printRouteBlock(event.options, event.length, event.recordRoutes,
                    event.echo.settings->resolveNames != 0);
}

void TextRenderer::interimStatistics(const char* heading, const PingStatistics& statistics) {
    printStatisticsBlock(heading, statistics, true);
}

void TextRenderer::hostFinished(const HostFinishedEvent& event) {
    if (!event.printsBlocks) return;
    if (!event.statistics) {
        printNoStatisticsLine();
    } else {
        printStatisticsBlock(event.heading, *event.statistics, false);
    }
}

void TextRenderer::passSeparator() {
    printMessage("\n");
}

void TextRenderer::runFinished(const RunFinishedEvent& event) {
    if (!event.manyHosts || event.limitOutput) return;
    if (event.total.sent == 0) {
        printMessage("No ping statistics available\n");
        return;
    }
    printMessage("\nPing statistics for multiple hosts:");
    printPacketsAndTimes(event.total, false);
}

}  // namespace quilvane
