// Plots of a report's samples, drawn with cairo on its PNG (image) and SVG surfaces.
#include <cairo-svg.h>
#include <cairo.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "console/internal.h"

namespace quorlan::console {
namespace {

constexpr double kLeft = 90;
constexpr double kRight = 30;
constexpr double kTop = 56;
constexpr double kAxisBand = 46;   // below the plot area: the time labels
constexpr double kLegendRow = 22;  // one row of the legend
constexpr int kLegendColumns = 3;

void SetColor(cairo_t* cr, unsigned rgb, double alpha = 1.0) {
  cairo_set_source_rgba(cr, ((rgb >> 16) & 0xff) / 255.0, ((rgb >> 8) & 0xff) / 255.0,
                        (rgb & 0xff) / 255.0, alpha);
}

// A step of 1, 2 or 5 times a power of ten that cuts span into about n parts.
double NiceStep(double span, int n) {
  const double raw = span / n;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

// A value label: 1500 -> "1.5K", 2000000 -> "2M".
std::string ValueLabel(double v, double scale_of) {
  const double a = std::abs(scale_of);
  const auto [scale, suffix] = a >= 1e9   ? std::pair{1e9, "G"}
                               : a >= 1e6 ? std::pair{1e6, "M"}
                               : a >= 1e4 ? std::pair{1e3, "K"}
                                          : std::pair{1.0, ""};
  const double x = v / scale;
  return fmt::format("{}{}", std::abs(x) < 1e-9 ? 0.0 : std::round(x * 1000) / 1000, suffix);
}

// A time step (ms) that gives at most max_ticks ticks over span_ms.
int64_t TimeStep(int64_t span_ms, int max_ticks) {
  constexpr int64_t kMin = 60000;
  for (int64_t step :
       {1 * kMin, 2 * kMin, 5 * kMin, 10 * kMin, 15 * kMin, 30 * kMin, 60 * kMin, 120 * kMin,
        180 * kMin, 360 * kMin, 720 * kMin, 1440 * kMin, 2880 * kMin, 10080 * kMin}) {
    if (span_ms / step <= max_ticks) return step;
  }
  return 10080 * kMin * (span_ms / (10080 * kMin * max_ticks) + 1);
}

struct Frame {
  double x0, y0, x1, y1;  // the plot area
  int64_t t0, t1;         // time range, ms
  double v0, v1;          // value range
  double X(int64_t t) const {
    return x0 + (x1 - x0) * static_cast<double>(t - t0) / static_cast<double>(t1 - t0);
  }
  double Y(double v) const { return y1 - (y1 - y0) * (v - v0) / (v1 - v0); }
};

void Text(cairo_t* cr, double x, double y, const std::string& text, double align_x,
          double align_y) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, text.c_str(), &e);
  cairo_move_to(cr, x - e.width * align_x - e.x_bearing, y - e.height * align_y - e.y_bearing);
  cairo_show_text(cr, text.c_str());
}

Frame MakeFrame(const Report& r, const std::vector<PlotPoint>& points, int width, int height,
                int legend_rows) {
  Frame f{kLeft, kTop, width - kRight, height - kAxisBand - legend_rows * kLegendRow, 0, 0, 0, 0};
  f.t0 = points.front().sample.time.Millis();
  f.t1 = points.back().sample.time.Millis();
  if (f.t1 == f.t0) {
    f.t0 -= int64_t{r.interval} * 30000;
    f.t1 += int64_t{r.interval} * 30000;
  }
  double lo = points.front().sample.values[0];
  double hi = lo;
  for (const PlotPoint& p : points) {
    for (size_t i = 0; i < r.objects.size(); ++i) {
      lo = std::min(lo, static_cast<double>(p.sample.values[i]));
      hi = std::max(hi, static_cast<double>(p.sample.values[i]));
    }
  }
  std::vector<double> thresholds;
  for (const ReportObject& o : r.objects) {
    if (!o.trigger) continue;
    if (auto t = ThresholdValue(o.threshold)) {
      thresholds.push_back(*t);
      lo = std::min(lo, *t);
      hi = std::max(hi, *t);
    }
  }
  if (hi == lo) {
    lo -= 1;
    hi += 1;
  }
  const double step = NiceStep(hi - lo, 5);
  f.v0 = std::floor(lo / step) * step;
  f.v1 = std::ceil(hi / step) * step;
  // A threshold on the axis's end would be drawn on the frame, where no one sees it: one step more.
  for (double t : thresholds) {
    if (t >= f.v1) f.v1 += step;
    if (t <= f.v0) f.v0 -= step;
  }
  return f;
}

void DrawAxes(cairo_t* cr, const Frame& f) {
  cairo_set_font_size(cr, 12);
  const double step = NiceStep(f.v1 - f.v0, 5);
  const double scale_of = std::max(std::abs(f.v0), std::abs(f.v1));
  for (double v = f.v0; v <= f.v1 + step / 2; v += step) {
    SetColor(cr, 0xdddddd);
    cairo_move_to(cr, f.x0, std::round(f.Y(v)) + 0.5);
    cairo_line_to(cr, f.x1, std::round(f.Y(v)) + 0.5);
    cairo_stroke(cr);
    SetColor(cr, 0x333333);
    Text(cr, f.x0 - 8, f.Y(v), ValueLabel(v, scale_of), 1.0, 0.5);
  }
  const int64_t span = f.t1 - f.t0;
  const int64_t tstep = TimeStep(span, std::max(2, static_cast<int>((f.x1 - f.x0) / 110)));
  const bool days = span >= 86400000 || DateTime::FromMillis(f.t0).DayNumber() !=
                                            DateTime::FromMillis(f.t1).DayNumber();
  for (int64_t t = (f.t0 + tstep - 1) / tstep * tstep; t <= f.t1; t += tstep) {
    const CivilTime c = DateTime::FromMillis(t).ToCivil();
    SetColor(cr, 0xdddddd);
    cairo_move_to(cr, std::round(f.X(t)) + 0.5, f.y0);
    cairo_line_to(cr, std::round(f.X(t)) + 0.5, f.y1);
    cairo_stroke(cr);
    SetColor(cr, 0x333333);
    Text(cr, f.X(t), f.y1 + 8, fmt::format("{:02}:{:02}", c.hour, c.minute), 0.5, 0.0);
    if (days) Text(cr, f.X(t), f.y1 + 24, fmt::format("{:02}-{:02}", c.month, c.day), 0.5, 0.0);
  }
  SetColor(cr, 0x333333);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, f.x0 + 0.5, f.y0 + 0.5, f.x1 - f.x0, f.y1 - f.y0);
  cairo_stroke(cr);
}

void DrawSeries(cairo_t* cr, const Report& r, const std::vector<PlotPoint>& points,
                const Frame& f) {
  cairo_save(cr);
  cairo_rectangle(cr, f.x0, f.y0, f.x1 - f.x0, f.y1 - f.y0);
  cairo_clip(cr);
  for (size_t i = 0; i < r.objects.size(); ++i) {
    const ReportObject& o = r.objects[i];
    if (o.trigger) {
      if (auto t = ThresholdValue(o.threshold)) {
        SetColor(cr, kPlotColors[i], 0.9);
        const double dash[] = {8, 5};
        cairo_set_dash(cr, dash, 2, 0);
        cairo_set_line_width(cr, 1.5);
        cairo_move_to(cr, f.x0, f.Y(*t));
        cairo_line_to(cr, f.x1, f.Y(*t));
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
      }
    }
    SetColor(cr, kPlotColors[i]);
    cairo_set_line_width(cr, 2);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (const PlotPoint& p : points) {
      const double x = f.X(p.sample.time.Millis());
      const double y = f.Y(static_cast<double>(p.sample.values[i]));
      p.joined ? cairo_line_to(cr, x, y) : cairo_move_to(cr, x, y);
      if (points.size() == 1) cairo_arc(cr, x, y, 3, 0, 2 * M_PI);
    }
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

void DrawLegend(cairo_t* cr, const Report& r, const Frame& f) {
  cairo_set_font_size(cr, 13);
  const double column = (f.x1 - f.x0) / kLegendColumns;
  for (size_t i = 0; i < r.objects.size(); ++i) {
    const ReportObject& o = r.objects[i];
    const double x = f.x0 + column * static_cast<double>(i % kLegendColumns);
    const double y = f.y1 + kAxisBand + kLegendRow * static_cast<double>(i / kLegendColumns) +
                     kLegendRow / 2 - 6;
    SetColor(cr, kPlotColors[i]);
    cairo_rectangle(cr, x, y - 5, 22, 10);
    cairo_fill(cr);
    SetColor(cr, 0x222222);
    std::string label = o.name.empty() ? o.oid : o.name;
    if (o.trigger) label += fmt::format("  (alarm {} {})", o.op, o.threshold);
    Text(cr, x + 30, y, label, 0.0, 0.5);
  }
}

void Draw(cairo_t* cr, const Report& r, const std::vector<PlotPoint>& points, int width,
          int height) {
  const int legend_rows =
      static_cast<int>((r.objects.size() + kLegendColumns - 1) / kLegendColumns);
  const Frame f = MakeFrame(r, points, width, height, legend_rows);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 18);
  SetColor(cr, 0x111111);
  Text(cr, width / 2.0, 16, r.title, 0.5, 0.0);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_line_width(cr, 1);
  DrawAxes(cr, f);
  DrawSeries(cr, r, points, f);
  DrawLegend(cr, r, f);
}

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};

void Check(cairo_status_t status, const std::string& file) {
  if (status != CAIRO_STATUS_SUCCESS) {
    throw RuntimeError(err::kPathFileAccess,
                       fmt::format("write {}: {}", file, cairo_status_to_string(status)));
  }
}

}  // namespace

int PlotColumns(int width) { return std::max(1, static_cast<int>(width - kLeft - kRight)); }

void DrawPlot(const Report& r, const std::vector<PlotPoint>& points, const std::string& file,
              int width, int height) {
  const bool svg = file.size() > 4 && (file.substr(file.size() - 4) == ".svg" ||
                                       file.substr(file.size() - 4) == ".SVG");
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface(
      svg ? cairo_svg_surface_create(file.c_str(), width, height)
          : cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  Check(cairo_surface_status(surface.get()), file);
  if (svg) cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_PX);
  {
    std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(surface.get()));
    Draw(cr.get(), r, points, width, height);
    Check(cairo_status(cr.get()), file);
  }
  if (svg) {
    cairo_surface_finish(surface.get());
    Check(cairo_surface_status(surface.get()), file);
  } else {
    Check(cairo_surface_write_to_png(surface.get(), file.c_str()), file);
  }
}

}  // namespace quorlan::console
