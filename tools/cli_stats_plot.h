// cli_stats_plot - the threshold curve of a rules stats report as an SVG picture
//
// stats_svg(report, rows) draws spam caught and ham flagged (as rates of
// their classes) against the threshold, one point per row in each of the two
// polylines (rows ascending, as stats_table gives them), and marks the
// report's threshold with a dashed vertical line. The picture is a complete
// standalone SVG document (XML, texts escaped) that a browser shows as it is.
#ifndef TOOLS_CLI_STATS_PLOT_H
#define TOOLS_CLI_STATS_PLOT_H

#include <string>
#include <vector>

#include "rule_stats.h"

namespace hdrw_cli {

std::string stats_svg(const StatsReport &report, const std::vector<ThresholdRow> &rows);

}  // namespace hdrw_cli

#endif
