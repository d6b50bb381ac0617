// cli_stats_plot - SVG of the threshold curve (contract in cli_stats_plot.h)
//
// Written directly as text: a frame, grid lines every 25 percent, about five
// threshold ticks, the two polylines with a dot per point, the threshold mark
// and a legend. (tested in tests/cli_test.cpp: parsed as XML, points counted)
#include "cli_stats_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace hdrw_cli {
namespace {

constexpr double kWidth = 720, kHeight = 420;
constexpr double kLeft = 64, kRight = 24, kTop = 48, kBottom = 56;

std::string plot_escape(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Only the characters XML 1.0 allows; others (and non-ASCII bytes,
        // which need not be UTF-8) become '?'.
        out += (c >= 0x20 && c < 0x7F) || c == '\t' ? static_cast<char>(c) : '?';
    }
  }
  return out;
}

std::string plot_num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

double plot_rate(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

std::string stats_svg(const StatsReport &report, const std::vector<ThresholdRow> &rows) {
  double lo = report.threshold, hi = report.threshold;
  for (const ThresholdRow &r : rows) {
    lo = std::min<double>(lo, r.threshold);
    hi = std::max<double>(hi, r.threshold);
  }
  if (hi - lo < 1) {
    lo -= 1;
    hi += 1;
  }
  const double plot_w = kWidth - kLeft - kRight, plot_h = kHeight - kTop - kBottom;
  auto x_of = [&](double t) { return kLeft + (t - lo) / (hi - lo) * plot_w; };
  auto y_of = [&](double rate) { return kTop + (1 - rate) * plot_h; };

  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      plot_num(kWidth) + "\" height=\"" + plot_num(kHeight) + "\" viewBox=\"0 0 " +
      plot_num(kWidth) + " " + plot_num(kHeight) +
      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg += "<text x=\"" + plot_num(kLeft) +
         "\" y=\"24\" font-size=\"14\">Spam caught and ham flagged by threshold: " +
         plot_escape(report.rule_file) + " (" + std::to_string(report.spam.messages) + " spam, " +
         std::to_string(report.ham.messages) + " ham)</text>\n";
  // Grid and the rate axis.
  for (int p = 0; p <= 100; p += 25) {
    const std::string y = plot_num(y_of(p / 100.0));
    svg += "<line x1=\"" + plot_num(kLeft) + "\" y1=\"" + y + "\" x2=\"" +
           plot_num(kLeft + plot_w) + "\" y2=\"" + y + "\" stroke=\"#dddddd\"/>\n";
    svg += "<text x=\"" + plot_num(kLeft - 8) + "\" y=\"" + plot_num(y_of(p / 100.0) + 4) +
           "\" text-anchor=\"end\">" + std::to_string(p) + "%</text>\n";
  }
  // Threshold ticks: about five, on whole numbers.
  const double step = std::max(1.0, std::ceil((hi - lo) / 5));
  for (double t = std::ceil(lo / step) * step; t <= hi; t += step) {
    const std::string x = plot_num(x_of(t));
    svg += "<line x1=\"" + x + "\" y1=\"" + plot_num(kTop + plot_h) + "\" x2=\"" + x + "\" y2=\"" +
           plot_num(kTop + plot_h + 5) + "\" stroke=\"black\"/>\n";
    svg += "<text x=\"" + x + "\" y=\"" + plot_num(kTop + plot_h + 18) +
           "\" text-anchor=\"middle\">" + std::to_string(static_cast<long long>(t)) + "</text>\n";
  }
  svg += "<rect x=\"" + plot_num(kLeft) + "\" y=\"" + plot_num(kTop) + "\" width=\"" +
         plot_num(plot_w) + "\" height=\"" + plot_num(plot_h) +
         "\" fill=\"none\" stroke=\"black\"/>\n";
  svg += "<text x=\"" + plot_num(kLeft + plot_w / 2) + "\" y=\"" + plot_num(kHeight - 14) +
         "\" text-anchor=\"middle\">threshold</text>\n";

  // The configured threshold.
  const std::string tx = plot_num(x_of(report.threshold));
  svg += "<line id=\"threshold\" x1=\"" + tx + "\" y1=\"" + plot_num(kTop) + "\" x2=\"" + tx +
         "\" y2=\"" + plot_num(kTop + plot_h) +
         "\" stroke=\"#555555\" stroke-dasharray=\"6 4\"/>\n";
  // The label inside the frame, on the side of the line with more room.
  const bool left_half = x_of(report.threshold) < kLeft + plot_w / 2;
  svg += "<text x=\"" + plot_num(x_of(report.threshold) + (left_half ? 4 : -4)) + "\" y=\"" +
         plot_num(kTop + plot_h - 8) + "\" text-anchor=\"" + (left_half ? "start" : "end") +
         "\">threshold " + std::to_string(report.threshold) + "</text>\n";

  struct Series {
    const char *id;
    const char *label;
    const char *colour;
    bool spam;
  };
  const Series series[] = {{"spam-caught", "spam caught", "#1a7f37", true},
                           {"ham-flagged", "ham flagged", "#cf222e", false}};
  double legend_y = kTop + 16;
  for (const Series &s : series) {
    std::string points, dots;
    for (const ThresholdRow &r : rows) {
      const double rate = s.spam ? plot_rate(r.spam_caught, report.spam.messages)
                                 : plot_rate(r.ham_flagged, report.ham.messages);
      const std::string x = plot_num(x_of(r.threshold)), y = plot_num(y_of(rate));
      if (!points.empty()) points += ' ';
      points += x + "," + y;
      dots += "<circle cx=\"" + x + "\" cy=\"" + y + "\" r=\"2.5\" fill=\"" + s.colour + "\"/>\n";
    }
    svg += "<polyline id=\"" + std::string(s.id) + "\" points=\"" + points +
           "\" fill=\"none\" stroke=\"" + s.colour + "\" stroke-width=\"2\"/>\n" + dots;
    svg += "<line x1=\"" + plot_num(kLeft + plot_w - 130) + "\" y1=\"" + plot_num(legend_y) +
           "\" x2=\"" + plot_num(kLeft + plot_w - 110) + "\" y2=\"" + plot_num(legend_y) +
           "\" stroke=\"" + s.colour + "\" stroke-width=\"2\"/>\n";
    svg += "<text x=\"" + plot_num(kLeft + plot_w - 104) + "\" y=\"" + plot_num(legend_y + 4) +
           "\">" + s.label + "</text>\n";
    legend_y += 18;
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace hdrw_cli
