// plot: the PNG read back with cairo, the SVG rendered with librsvg; both hold the picture of the
// samples: the title, one line per object in its colour (the higher values higher up), and the
// trigger's threshold as a dashed line across the plot.
#include <cairo.h>
#include <gmock/gmock.h>
#include <librsvg/rsvg.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "console_fixture.h"

// fontconfig, which cairo's text drawing loads, keeps its configuration for the life of the
// process and never frees it; the leak checker is told so (used only in sanitizer builds).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace quorlan {
namespace {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // 0xRRGGBB, row by row
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
};

Picture FromSurface(cairo_surface_t* s) {
  cairo_surface_flush(s);
  Picture p{cairo_image_surface_get_width(s), cairo_image_surface_get_height(s), {}};
  const unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      p.pixels.push_back(*reinterpret_cast<const uint32_t*>(data + y * stride + x * 4) & 0xffffff);
    }
  }
  return p;
}

Picture ReadPng(const std::string& file) {
  cairo_surface_t* s = cairo_image_surface_create_from_png(file.c_str());
  EXPECT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS) << file;
  Picture p = FromSurface(s);
  cairo_surface_destroy(s);
  return p;
}

// The SVG's own size in pixels, and the picture librsvg renders at that size on white.
Picture RenderSvg(const std::string& file, double* width, double* height) {
  GError* error = nullptr;
  RsvgHandle* h = rsvg_handle_new_from_file(file.c_str(), &error);
  EXPECT_NE(h, nullptr) << (error ? error->message : "");
  if (h == nullptr) return {};
  EXPECT_TRUE(rsvg_handle_get_intrinsic_size_in_pixels(h, width, height));
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(*width),
                                                  static_cast<int>(*height));
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  const RsvgRectangle viewport{0, 0, *width, *height};
  EXPECT_TRUE(rsvg_handle_render_document(h, cr, &viewport, &error));
  cairo_destroy(cr);
  Picture p = FromSurface(s);
  cairo_surface_destroy(s);
  g_object_unref(h);
  return p;
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff)) >
        tolerance) {
      return false;
    }
  }
  return true;
}

// Where the pixels of a colour lie: how many, their mean row, and the fullest row.
struct Spread {
  int count = 0;
  double mean_y = 0;
  int widest_row = 0;
};
Spread SpreadOf(const Picture& p, uint32_t rgb) {
  Spread s;
  for (int y = 0; y < p.height; ++y) {
    int row = 0;
    for (int x = 0; x < p.width; ++x) row += Near(p.At(x, y), rgb, 24) ? 1 : 0;
    s.count += row;
    s.mean_y += static_cast<double>(row) * y;
    s.widest_row = std::max(s.widest_row, row);
  }
  if (s.count > 0) s.mean_y /= s.count;
  return s;
}

class PlotTest : public testing::ConsoleFixture {
 protected:
  PlotTest() : loop_(clock_) {
    Sql("INSERT INTO ATR_Nodes (node_name, address, TrendReports) VALUES ('core-1', '10.0.0.1', "
        "1)");
    Sql("INSERT INTO TrendReports (ReportTitle, NodeId, NodeName, PollInterval, ObjId1, ObjName1, "
        "TriggerAlarm1, TriggerExpr1, TriggerValue1, ObjId2, ObjName2, DbChanged) VALUES ('Core "
        "uplink', 1, 'core-1', 1, '1.3.6.1.2.1.2.2.1.10.1', 'In', 1, '>', '1.5K', "
        "'1.3.6.1.2.1.2.2.1.16.1', 'Out', '0')");
    // An hour of samples: In climbs from 1000 to 2180, Out stays between 100 and 159.
    Sql("CREATE TABLE TrendData1 (ReportId int NOT NULL, Time datetime NOT NULL, Value1 bigint "
        "NOT NULL, Value2 bigint NOT NULL, Value3 bigint NOT NULL, Value4 bigint NOT NULL, Value5 "
        "bigint NOT NULL, Value6 bigint NOT NULL)");
    for (int m = 0; m < 60; ++m) {
      Sql(
          fmt::format("INSERT INTO TrendData1 VALUES (1, '2026-12-07 10:{:02}:00', {}, {}, 0, 0, "
                      "0, 0)",
                      m, 1000 + 20 * m, 100 + m));
    }
  }
  testing::ConsoleRun Plot(const std::string& file, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {
        "plot",         "1", "--since", "2026-12-07 10:00", "--until", "2026-12-07 11:00", "-o",
        dir_.File(file)};
    args.insert(args.end(), more.begin(), more.end());
    return Run(clock_, loop_, args);
  }

  SystemClock clock_;
  EventLoop loop_;
};

TEST_F(PlotTest, ThePngHoldsTitleLinesLegendAndThreshold) {
  const testing::ConsoleRun r = Plot("uplink.png");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, ::testing::HasSubstr("(60 samples)"));
  const Picture p = ReadPng(dir_.File("uplink.png"));
  ASSERT_EQ(p.width, 1000);
  ASSERT_EQ(p.height, 500);
  const Spread in = SpreadOf(p, console::kPlotColors[0]);
  const Spread out = SpreadOf(p, console::kPlotColors[1]);
  EXPECT_GT(in.count, 500);
  EXPECT_GT(out.count, 500);
  EXPECT_LT(in.mean_y, out.mean_y);  // In's values are the higher ones
  // The threshold 1.5K of In: a dashed line over most of the plot's width.
  EXPECT_GT(in.widest_row, 450);
  EXPECT_LT(out.widest_row, 450);
  // The title: dark text in the top band.
  int dark = 0;
  for (int y = 0; y < 45; ++y) {
    for (int x = 0; x < p.width; ++x) dark += Near(p.At(x, y), 0x111111, 40) ? 1 : 0;
  }
  EXPECT_GT(dark, 100);
}

// A threshold that ends up on the top of the value axis is drawn inside the frame, not on it.
TEST_F(PlotTest, AThresholdAtTheTopOfTheAxisIsDrawnBelowTheFrame) {
  Sql("UPDATE TrendReports SET TriggerValue1 = '2.5K'");  // the axis's top without headroom
  ASSERT_EQ(Plot("top.png").status, 0);
  const Picture p = ReadPng(dir_.File("top.png"));
  int frame_top = -1;
  for (int y = 0; y < p.height && frame_top < 0; ++y) {
    int dark = 0;
    for (int x = 0; x < p.width; ++x) dark += Near(p.At(x, y), 0x333333, 24) ? 1 : 0;
    if (dark > p.width / 2) frame_top = y;
  }
  ASSERT_GE(frame_top, 0);
  int threshold_row = -1;
  size_t widest = 0;
  for (int y = 0; y < p.height; ++y) {
    size_t row = 0;
    for (int x = 0; x < p.width; ++x) row += Near(p.At(x, y), console::kPlotColors[0], 24) ? 1 : 0;
    if (row > widest) std::tie(widest, threshold_row) = std::pair{row, y};
  }
  EXPECT_GT(widest, 450u);
  EXPECT_GT(threshold_row, frame_top + 10) << "the threshold lies on the frame";
}

TEST_F(PlotTest, TheSvgRendersAtItsSizeAsThePngDoes) {
  ASSERT_EQ(Plot("uplink.svg", {"--width", "800", "--height", "400"}).status, 0);
  ASSERT_EQ(Plot("uplink.png", {"--width", "800", "--height", "400"}).status, 0);
  double width = 0, height = 0;
  const Picture svg = RenderSvg(dir_.File("uplink.svg"), &width, &height);
  EXPECT_EQ(width, 800);
  EXPECT_EQ(height, 400);
  const Picture png = ReadPng(dir_.File("uplink.png"));
  ASSERT_EQ(svg.pixels.size(), png.pixels.size());
  size_t differ = 0;
  for (size_t i = 0; i < svg.pixels.size(); ++i)
    differ += Near(svg.pixels[i], png.pixels[i], 64) ? 0 : 1;
  EXPECT_LT(differ, svg.pixels.size() / 100) << differ << " pixels differ";
  EXPECT_GT(SpreadOf(svg, console::kPlotColors[0]).count, 400);
  EXPECT_GT(SpreadOf(svg, console::kPlotColors[1]).count, 400);
}

TEST_F(PlotTest, ShowAndExportWriteEverySampleAsTheyReadIt) {
  const testing::ConsoleRun csv = Run(clock_, loop_, {"export", "1", "--csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 61);
  EXPECT_THAT(csv.out, ::testing::StartsWith("Time,In,Out\r\n2026-12-07 10:00:00,1000,100\r\n"));
  EXPECT_THAT(csv.out, ::testing::EndsWith("2026-12-07 10:59:00,2180,159\r\n"));
  const testing::ConsoleRun show = Run(
      clock_, loop_, {"show", "1", "--since", "2026-12-07 10:58", "--until", "2026-12-07 11:00"});
  ASSERT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(show.out,
            "Report 1: Core uplink (core-1, every 1 min)\n"
            "Time                   In  Out\n"
            "2026-12-07 10:58:00  2160  158\n"
            "2026-12-07 10:59:00  2180  159\n"
            "2 sample(s)\n");
  const testing::ConsoleRun json =
      Run(clock_, loop_,
          {"show", "1", "--since", "2026-12-07 10:59", "--until", "2026-12-07 11:00", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out,
            "{\"report\":1,\"title\":\"Core uplink\",\"node\":\"core-1\",\"interval\":1,"
            "\"objects\":[\"In\",\"Out\"],\"samples\":[{\"time\":\"2026-12-07 "
            "10:59:00\",\"values\":[2180,159]}]}\n");
}

// A plot of more samples than pixels: the points of each pixel column keep its first, lowest,
// highest and last values, so the lines cover what every sample would.
TEST_F(PlotTest, MoreSamplesThanPixelsAreReadIntoAFewPointsPerColumn) {
  Sql("INSERT INTO TrendData1 WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM n "
      "WHERE x < 19999) SELECT 1, datetime('2026-11-01', '+' || x || ' minutes'), (x * 7919) % "
      "5000, x, 0, 0, 0, 0 FROM n");
  auto conn = NewOdbcDriver({.sqlite_idle_seconds = 0})->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + dir_.File(kSuiteDatabase), kDbConnectTimeoutSeconds);
  console::Report r;
  r.id = 1;
  r.interval = 1;
  r.objects.resize(2);
  const console::SampleRange range{DateTime::FromCivil({2026, 11, 1, 0, 0, 0}),
                                   DateTime::FromCivil({2026, 11, 30, 0, 0, 0})};
  const console::SampleSummary summary = console::SummarizeSamples(*conn, r, range);
  EXPECT_EQ(summary.count, 20000);
  EXPECT_EQ(summary.low[0], 0);
  EXPECT_EQ(summary.high[0], 4999);
  const auto points = console::ReadPlotPoints(*conn, r, range, summary, 100);
  ASSERT_LE(points.size(), 400u);
  ASSERT_GE(points.size(), 200u);
  EXPECT_EQ(points.front().sample.time, summary.first);
  EXPECT_EQ(points.back().sample.time, summary.last);
  EXPECT_FALSE(points.front().joined);
  int64_t low = INT64_MAX, high = INT64_MIN;
  for (const console::PlotPoint& p : points) {
    EXPECT_TRUE(&p == &points.front() || p.joined);
    low = std::min(low, p.sample.values[0]);
    high = std::max(high, p.sample.values[0]);
  }
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 4999);
  const testing::ConsoleRun run = Run(
      clock_, loop_,
      {"plot", "1", "--since", "2026-11-01", "--until", "2026-11-30", "-o", dir_.File("m.png")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, ::testing::HasSubstr("(20000 samples)"));
}

TEST_F(PlotTest, NoSamplesInTheRangeWritesNoPicture) {
  const testing::ConsoleRun r =
      Run(clock_, loop_, {"plot", "1", "--since", "2026-12-08", "-o", dir_.File("x.png")});
  EXPECT_EQ(r.status, console::kExitFailure);
  EXPECT_THAT(r.err, ::testing::HasSubstr("report 1 has no samples from 2026-12-08 00:00:00"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("x.png")));
}

}  // namespace
}  // namespace quorlan
