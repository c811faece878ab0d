#include "ReportPlot.h"

#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"
#include "engine/tessel/TesselProcessor.h"

// cairo's text keeps fontconfig's font patterns in caches that live until the process ends (a
// few hundred bytes, the same however much is drawn). LeakSanitizer reads this hook in the
// sanitizer builds, so that every program drawing pictures does not fail for them at exit; other
// builds never call it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace tessel::cli {

namespace {

// The frequency axis of every response plot, and how many grid points sample it: enough for
// smooth curves at the widest plot (about three points per pixel column).
constexpr double kLowestHz = 20.0;
constexpr double kHighestHz = 20000.0;
constexpr int kResponsePoints = 480;
// The level axis of response plots: a band's skirt below it is of no interest, and the sum
// stays near 0 dB.
constexpr double kResponseFloorDb = -36.0;
constexpr double kResponseCeilingDb = 6.0;
// Below this a magnitude is drawn at the floor anyway; it keeps log10 away from zero.
constexpr double kMagnitudeFloor = 1e-9;

struct Colour {
    double r, g, b;
};
// One colour per user band, the same in every panel and picture.
constexpr Colour kBandColours[FloatingMultiBandModel::kBandCount] = {
    {0.122, 0.467, 0.706}, {0.890, 0.467, 0.078}, {0.173, 0.627, 0.173},
    {0.839, 0.153, 0.157}, {0.580, 0.404, 0.741}, {0.090, 0.745, 0.812}};
constexpr Colour kInk = {0.17, 0.18, 0.20};
constexpr Colour kMutedInk = {0.42, 0.44, 0.47};
constexpr Colour kGrid = {0.88, 0.89, 0.91};
constexpr Colour kMajorGrid = {0.78, 0.79, 0.82};
constexpr Colour kPanelBackground = {0.985, 0.987, 0.99};
constexpr Colour kInputWave = {0.62, 0.65, 0.70};
constexpr Colour kOutputWave = {0.16, 0.42, 0.72};
constexpr Colour kGap = {0.60, 0.60, 0.60};

constexpr const char* kFont = "DejaVu Sans";

/// A plot area in pixels with its data ranges; maps data to pixels. A log x axis maps log10 of
/// the value.
struct Panel {
    double left, top, width, height;
    double xMin, xMax, yMin, yMax;
    bool logX = false;

    double x(double value) const {
        const double v = logX ? std::log10(value) : value;
        const double lo = logX ? std::log10(xMin) : xMin, hi = logX ? std::log10(xMax) : xMax;
        return left + width * (v - lo) / (hi - lo);
    }
    double y(double value) const {
        return top + height * (yMax - std::clamp(value, yMin, yMax)) / (yMax - yMin);
    }
    double right() const { return left + width; }
    double bottom() const { return top + height; }
};

void setColour(cairo_t* cr, const Colour& c, double alpha = 1.0) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

/// Text with its reference point at (x, y): xAlign 0 left, 0.5 centre, 1 right; y is the
/// baseline, or the middle of the capitals with middle set.
void text(cairo_t* cr, const std::string& s, double x, double y, double size, double xAlign,
          bool middle = false, bool bold = false, const Colour& colour = kInk) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, s.c_str(), &extents);
    setColour(cr, colour);
    cairo_move_to(cr, x - xAlign * extents.x_advance - extents.x_bearing * (1.0 - xAlign),
                  middle ? y + 0.36 * size : y);
    cairo_show_text(cr, s.c_str());
}

double textWidth(cairo_t* cr, const std::string& s, double size) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, s.c_str(), &extents);
    return extents.x_advance;
}

std::string format(const char* pattern, double value) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

/// The panel's background, frame and title (above its top left corner).
void drawFrame(cairo_t* cr, const Panel& p, const std::string& title) {
    setColour(cr, kPanelBackground);
    cairo_rectangle(cr, p.left, p.top, p.width, p.height);
    cairo_fill(cr);
    text(cr, title, p.left, p.top - 12.0, 17.0, 0.0, false, true);
}

void drawBorder(cairo_t* cr, const Panel& p) {
    setColour(cr, kMajorGrid);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, p.left + 0.5, p.top + 0.5, p.width - 1.0, p.height - 1.0);
    cairo_stroke(cr);
}

void verticalLine(cairo_t* cr, const Panel& p, double x, const Colour& c) {
    setColour(cr, c);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, std::round(x) + 0.5, p.top);
    cairo_line_to(cr, std::round(x) + 0.5, p.bottom());
    cairo_stroke(cr);
}

void horizontalLine(cairo_t* cr, const Panel& p, double y, const Colour& c, double width = 1.0) {
    setColour(cr, c);
    cairo_set_line_width(cr, width);
    cairo_move_to(cr, p.left, std::round(y) + 0.5);
    cairo_line_to(cr, p.right(), std::round(y) + 0.5);
    cairo_stroke(cr);
}

/// The smallest step of 1, 2 or 5 times a power of ten that cuts span into at most maxSteps.
double niceStep(double span, int maxSteps) {
    const double rough = span / maxSteps;
    const double decade = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * decade >= rough) return m * decade;
    return 10.0 * decade;
}

/// Time gridlines and their labels under the panel (seconds).
void drawTimeAxis(cairo_t* cr, const Panel& p, bool labels) {
    const double step = niceStep(p.xMax - p.xMin, 16);
    for (double t = 0.0; t <= p.xMax + 1e-9; t += step) {
        verticalLine(cr, p, p.x(t), kGrid);
        if (labels) text(cr, format("%g s", t), p.x(t), p.bottom() + 18.0, 12.0, 0.5);
    }
}

/// A row of legend entries right-aligned above the panel's top right corner.
struct LegendEntry {
    std::string label;
    Colour colour;
    bool dashed = false;
};
void drawLegend(cairo_t* cr, const Panel& p, const std::vector<LegendEntry>& entries) {
    constexpr double kSize = 13.0, kSwatch = 22.0, kGapPixels = 18.0;
    double width = 0.0;
    for (const LegendEntry& e : entries)
        width += kSwatch + 6.0 + textWidth(cr, e.label, kSize) + kGapPixels;
    double x = p.right() - width + kGapPixels;
    const double y = p.top - 17.0;
    for (const LegendEntry& e : entries) {
        setColour(cr, e.colour);
        cairo_set_line_width(cr, 3.0);
        if (e.dashed) {
            const double dash[] = {5.0, 3.0};
            cairo_set_dash(cr, dash, 2, 0.0);
        }
        cairo_move_to(cr, x, y);
        cairo_line_to(cr, x + kSwatch, y);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0.0);
        text(cr, e.label, x + kSwatch + 6.0, y, kSize, 0.0, true);
        x += kSwatch + 6.0 + textWidth(cr, e.label, kSize) + kGapPixels;
    }
}

/// Where a sample goes on the waveform axis: its level in dB between floorDb (the centre line)
/// and topDb (the panel's edge), with its sign. Monotonic, so a column's smallest and largest
/// samples stay its edges.
double waveAxis(double v, double floorDb, double topDb) {
    const double db = 20.0 * std::log10(std::max(std::abs(v), kMagnitudeFloor));
    return std::copysign(std::max(0.0, (db - floorDb) / (topDb - floorDb)), v);
}

void fillEnvelope(cairo_t* cr, const Panel& p, const WaveformEnvelope& envelope, double floorDb,
                  double topDb, const Colour& colour, double alpha) {
    const auto pixels = static_cast<std::size_t>(p.width);
    const std::size_t columns = envelope.columns();
    if (pixels == 0 || columns == 0) return;
    // Each pixel column takes the extremes of the envelope columns it covers.
    std::vector<float> low(pixels, 0.0f), high(pixels, 0.0f);
    bool any = false;
    for (std::size_t x = 0; x < pixels; ++x) {
        const std::size_t first = std::min(columns - 1, x * columns / pixels);
        const std::size_t last = std::max(first + 1, (x + 1) * columns / pixels);
        any = envelope.range(first, last, low[x], high[x]) || any;
    }
    if (!any) return;
    cairo_new_path(cr);  // text leaves a current point behind
    for (std::size_t x = 0; x < pixels; ++x) {
        const double v = waveAxis(high[x], floorDb, topDb);
        cairo_line_to(cr, p.left + static_cast<double>(x) + 0.5, p.y(v) - 0.5);
    }
    for (std::size_t x = pixels; x-- > 0;) {
        const double v = waveAxis(low[x], floorDb, topDb);
        cairo_line_to(cr, p.left + static_cast<double>(x) + 0.5, p.y(v) + 0.5);
    }
    cairo_close_path(cr);
    setColour(cr, colour, alpha);
    cairo_fill(cr);
}

/// Input and output overlaid on an axis in dBFS (both signs), so that quiet passages and what
/// a dynamics processor did to them stay visible: the edges are full scale (or the peak of a
/// floating-point signal beyond it, up to +24 dBFS), the centre line 48 dB below.
void drawWaveforms(cairo_t* cr, Panel p, const ProcessReport& report) {
    constexpr double kSpanDb = 48.0;
    const double peakDb = 20.0 * std::log10(std::max(report.input.peak(), report.output.peak()));
    const double topDb = std::clamp(6.0 * std::ceil(peakDb / 6.0 - 1e-9), 0.0, 24.0);
    const double floorDb = topDb - kSpanDb;
    p.yMin = -1.0;
    p.yMax = 1.0;
    drawFrame(cr, p, "Waveform");
    drawTimeAxis(cr, p, false);
    for (double db = topDb; db > floorDb; db -= 12.0) {
        const std::string label = db == 0.0 ? "0 dBFS" : format("%+.0f", db);
        for (const double sign : {1.0, -1.0}) {
            const double y = p.y(sign * waveAxis(std::pow(10.0, db / 20.0), floorDb, topDb));
            horizontalLine(cr, p, y, db == 0.0 ? kMajorGrid : kGrid);
            text(cr, label, p.left - 8.0, y, 12.0, 1.0, true, false, kMutedInk);
        }
    }
    horizontalLine(cr, p, p.y(0.0), kMajorGrid);
    text(cr, format("%+.0f", floorDb), p.left - 8.0, p.y(0.0), 12.0, 1.0, true, false, kMutedInk);
    fillEnvelope(cr, p, report.input, floorDb, topDb, kInputWave, 0.75);
    fillEnvelope(cr, p, report.output, floorDb, topDb, kOutputWave, 0.6);
    drawBorder(cr, p);
    drawLegend(cr, p, {{"Input", kInputWave}, {"Output", kOutputWave}});
}

/// Each band in use's gain change per trace window, on a dB axis that fits the largest change
/// (at least -3..+1 dB, so a quiet band is not blown up into noise).
void drawGainTraces(cairo_t* cr, Panel p, const ProcessReport& report) {
    double lowest = -3.0, highest = 1.0;
    std::vector<LegendEntry> legend;
    for (std::size_t b = 0; b < report.gainTracesDb.size(); ++b) {
        if (b >= report.bandInUse.size() || !report.bandInUse[b]) continue;
        legend.push_back({"Band " + std::to_string(b + 1), kBandColours[b % 6]});
        for (const float db : report.gainTracesDb[b]) {
            if (!std::isfinite(db)) continue;
            lowest = std::min(lowest, static_cast<double>(db));
            highest = std::max(highest, static_cast<double>(db));
        }
    }
    lowest = std::max(lowest, -60.0);
    highest = std::min(highest, 60.0);
    const double step = niceStep(highest - lowest, 6);
    p.yMin = step * std::floor(lowest / step);
    p.yMax = step * std::ceil(highest / step);
    drawFrame(cr, p, "Gain change");
    drawTimeAxis(cr, p, true);
    for (double db = p.yMin; db <= p.yMax + 1e-9; db += step) {
        horizontalLine(cr, p, p.y(db), std::abs(db) < 1e-9 ? kMajorGrid : kGrid,
                       std::abs(db) < 1e-9 ? 1.5 : 1.0);
        text(cr, format(std::abs(db) < 1e-9 ? "0 dB" : "%+g", db), p.left - 8.0, p.y(db), 12.0, 1.0,
             true, false, kMutedInk);
    }
    if (legend.empty())
        text(cr, "no band in use", p.left + p.width / 2.0, p.top + p.height / 2.0, 15.0, 0.5, true,
             false, kMutedInk);
    cairo_save(cr);
    cairo_rectangle(cr, p.left, p.top, p.width, p.height);
    cairo_clip(cr);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (std::size_t b = 0; b < report.gainTracesDb.size(); ++b) {
        if (b >= report.bandInUse.size() || !report.bandInUse[b]) continue;
        const std::vector<float>& trace = report.gainTracesDb[b];
        bool drawing = false;
        for (std::size_t i = 0; i < trace.size(); ++i) {
            if (!std::isfinite(trace[i])) {
                drawing = false;
                continue;
            }
            const double x = p.x((static_cast<double>(i) + 0.5) * report.traceWindowSeconds);
            if (drawing)
                cairo_line_to(cr, x, p.y(trace[i]));
            else
                cairo_move_to(cr, x, p.y(trace[i]));
            drawing = true;
        }
        setColour(cr, kBandColours[b % 6]);
        cairo_set_line_width(cr, 2.0);
        cairo_stroke(cr);
    }
    cairo_restore(cr);
    drawBorder(cr, p);
    drawLegend(cr, p, legend);
}

/// Model band responses and their sum on a log frequency axis; each band's area is tinted in its
/// colour, gaps (no user band) are grey and dashed.
void drawResponses(cairo_t* cr, Panel p, const LayoutResponses& layout, const std::string& title) {
    p.xMin = kLowestHz;
    p.xMax = kHighestHz;
    p.yMin = kResponseFloorDb;
    p.yMax = kResponseCeilingDb;
    p.logX = true;
    drawFrame(cr, p, title);
    for (double decade = 10.0; decade < kHighestHz; decade *= 10.0) {
        for (int m = 1; m < 10; ++m) {
            const double hz = decade * m;
            if (hz < kLowestHz || hz > kHighestHz) continue;
            const bool labelled = m == 1 || m == 2 || m == 5;
            verticalLine(cr, p, p.x(hz), m == 1 ? kMajorGrid : kGrid);
            if (!labelled) continue;
            const std::string label = hz >= 1000.0 ? format("%gk", hz / 1000.0) : format("%g", hz);
            text(cr, label, p.x(hz), p.bottom() + 18.0, 12.0, 0.5, false, false, kMutedInk);
        }
    }
    text(cr, "Hz", p.right(), p.bottom() + 36.0, 12.0, 1.0, false, false, kMutedInk);
    for (double db = p.yMin; db <= p.yMax + 1e-9; db += 6.0) {
        horizontalLine(cr, p, p.y(db), db == 0.0 ? kMajorGrid : kGrid, db == 0.0 ? 1.5 : 1.0);
        text(cr, db == 0.0 ? "0 dB" : format("%+.0f", db), p.left - 8.0, p.y(db), 12.0, 1.0, true,
             false, kMutedInk);
    }
    const std::vector<double>& hz = layout.frequenciesHz;
    const auto curve = [&](const std::vector<double>& db) {
        for (std::size_t i = 0; i < hz.size() && i < db.size(); ++i) {
            const double v = std::isfinite(db[i]) ? db[i] : kResponseFloorDb - 10.0;
            if (i == 0)
                cairo_move_to(cr, p.x(hz[i]), p.y(v));
            else
                cairo_line_to(cr, p.x(hz[i]), p.y(v));
        }
    };
    cairo_save(cr);
    cairo_rectangle(cr, p.left, p.top, p.width, p.height);
    cairo_clip(cr);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    std::vector<LegendEntry> legend;
    for (std::size_t j = 0; j < layout.bandDb.size(); ++j) {
        const int user = j < layout.userBand.size() ? layout.userBand[j] : -1;
        const bool gap = user < 0;
        const Colour colour = gap ? kGap : kBandColours[user % 6];
        if (hz.empty()) break;
        curve(layout.bandDb[j]);
        cairo_line_to(cr, p.x(hz.back()), p.bottom());
        cairo_line_to(cr, p.x(hz.front()), p.bottom());
        cairo_close_path(cr);
        setColour(cr, colour, gap ? 0.05 : 0.10);
        cairo_fill(cr);
        curve(layout.bandDb[j]);
        setColour(cr, colour);
        cairo_set_line_width(cr, gap ? 1.5 : 2.2);
        const double dash[] = {6.0, 4.0};
        if (gap) cairo_set_dash(cr, dash, 2, 0.0);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0.0);
        const std::string label = j < layout.bandLabels.size() ? layout.bandLabels[j] : "";
        const bool listed = std::any_of(legend.begin(), legend.end(),
                                        [&](const LegendEntry& e) { return e.label == label; });
        if (!listed) legend.push_back({label, colour, gap});
    }
    if (!hz.empty() && !layout.sumDb.empty()) {
        curve(layout.sumDb);
        setColour(cr, kInk);
        cairo_set_line_width(cr, 2.0);
        cairo_stroke(cr);
        legend.push_back({"Sum", kInk});
    }
    cairo_restore(cr);
    drawBorder(cr, p);
    drawLegend(cr, p, legend);
}

using SurfacePointer = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using ContextPointer = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

/// A white canvas with the picture's title.
bool begin(int width, int height, const std::string& title, SurfacePointer& surface,
           ContextPointer& context, const std::string& path, std::string& error) {
    surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (const cairo_status_t s = cairo_surface_status(surface.get()); s != CAIRO_STATUS_SUCCESS) {
        error = "cannot draw " + path + ": " + cairo_status_to_string(s);
        return false;
    }
    context.reset(cairo_create(surface.get()));
    cairo_t* cr = context.get();
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    text(cr, title, 30.0, 42.0, 24.0, 0.0, false, true);
    return true;
}

/// Writes the surface as a PNG beside the target and renames it into place.
bool finish(cairo_surface_t* surface, cairo_t* cr, const std::string& path, std::string& error) {
    if (const cairo_status_t s = cairo_status(cr); s != CAIRO_STATUS_SUCCESS) {
        error = "cannot draw " + path + ": " + cairo_status_to_string(s);
        return false;
    }
    cairo_surface_flush(surface);
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    errno = 0;
    if (const cairo_status_t s = cairo_surface_write_to_png(surface, temporary.c_str());
        s != CAIRO_STATUS_SUCCESS) {
        // cairo's write error says nothing of why; the C library's reason (no such folder, no
        // permission, disk full) does.
        const int reason = errno;
        std::remove(temporary.c_str());
        error = "cannot write " + path + ": " +
                (s == CAIRO_STATUS_WRITE_ERROR && reason != 0 ? std::strerror(reason)
                                                              : cairo_status_to_string(s));
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

LayoutResponses layoutResponses(const FloatingMultiBandModel& layout) {
    // A copy of the layout on its own model: the same bands, mode and rate, sampled on a log grid
    // whose last point is 20 kHz (a grid's highest frequency lies one step beyond its last
    // point).
    const CrossoverMultiBandModel& source = *layout.crossoverModel();
    CrossoverMultiBandModel model(source.maxBandCount());
    model.sampleRate() = layout.crossoverModel()->sampleRate().get();
    model.processingMode() = source.processingMode().get();
    const double gridTopHz =
        kLowestHz * std::pow(kHighestHz / kLowestHz,
                             static_cast<double>(kResponsePoints) / (kResponsePoints - 1));
    model.mapping().configure(true, kLowestHz, gridTopHz, kResponsePoints);
    FloatingMultiBandModel copy(&model);
    {
        const UpdatedObject::ScopedHold hold(copy);  // one layout pass for all the bands
        for (int32_t i = 0; i < FloatingMultiBandModel::kBandCount; ++i) {
            const FloatingMultiBandModel::Band& from = layout.band(i);
            FloatingMultiBandModel::Band& to = copy.band(i);
            to.used() = from.used().get();
            to.setRange(from.lowFrequencyOctaves(), from.highFrequencyOctaves());
            to.lowSlopeDbPerOctave() = from.lowSlopeDbPerOctave().get();
            to.highSlopeDbPerOctave() = from.highSlopeDbPerOctave().get();
        }
    }

    LayoutResponses responses;
    const int32_t points = model.mapping().size();
    for (int32_t i = 0; i < points; ++i)
        responses.frequenciesHz.push_back(model.mapping().frequencyHz(i));
    std::vector<FrequencyResponseSource::Complex> sum(static_cast<std::size_t>(points));
    const auto decibels = [](double magnitude) {
        return 20.0 * std::log10(std::max(magnitude, kMagnitudeFloor));
    };
    const int32_t count = model.bandCount();
    for (int32_t j = 0; j < count; ++j) {
        std::string label;
        int first = -1;
        for (int32_t i = 0; i < FloatingMultiBandModel::kBandCount; ++i) {
            if (!copy.band(i).used() || copy.band(i).modelBandIndex() != j) continue;
            label += (first < 0 ? "Band " : "+") + std::to_string(i + 1);
            if (first < 0) first = i;
        }
        responses.bandLabels.push_back(first < 0 ? "(gap)" : label);
        responses.userBand.push_back(first);
        std::vector<double>& db = responses.bandDb.emplace_back();
        for (int32_t i = 0; i < points; ++i) {
            const FrequencyResponseSource::Complex r = model.band(j).response(i);
            sum[static_cast<std::size_t>(i)] += r;
            db.push_back(decibels(std::abs(r)));
        }
    }
    for (const FrequencyResponseSource::Complex& r : sum)
        responses.sumDb.push_back(decibels(std::abs(r)));
    return responses;
}

LayoutResponses layoutResponses(TesselProcessor& processor) {
    return layoutResponses(processor.layoutModel());
}

bool writeProcessReport(const std::string& path, const ProcessReport& report, std::string& error) {
    SurfacePointer surface(nullptr, cairo_surface_destroy);
    ContextPointer context(nullptr, cairo_destroy);
    if (!begin(kReportWidth, kReportHeight, report.title, surface, context, path, error))
        return false;
    cairo_t* cr = context.get();

    double seconds = std::max(report.input.seconds(), report.output.seconds());
    if (!(seconds > 0.0)) seconds = 1.0;  // an empty signal still gets its axes

    constexpr double kLeft = 90.0, kRight = 30.0;
    const double width = kReportWidth - kLeft - kRight;
    drawWaveforms(cr, {kLeft, 100.0, width, 300.0, 0.0, seconds, -1.0, 1.0}, report);
    drawGainTraces(cr, {kLeft, 455.0, width, 220.0, 0.0, seconds, -1.0, 1.0}, report);
    drawResponses(cr, {kLeft, 735.0, width, 205.0, 0.0, 1.0, 0.0, 1.0}, report.layout,
                  "Band layout");
    return finish(surface.get(), cr, path, error);
}

bool writeLayoutPlot(const std::string& path, const LayoutResponses& layout,
                     const std::string& title, std::string& error) {
    SurfacePointer surface(nullptr, cairo_surface_destroy);
    ContextPointer context(nullptr, cairo_destroy);
    if (!begin(kLayoutPlotWidth, kLayoutPlotHeight, title, surface, context, path, error))
        return false;
    constexpr double kLeft = 80.0, kRight = 30.0, kTop = 110.0, kBottom = 60.0;
    drawResponses(context.get(),
                  {kLeft, kTop, kLayoutPlotWidth - kLeft - kRight,
                   kLayoutPlotHeight - kTop - kBottom, 0.0, 1.0, 0.0, 1.0},
                  layout, "Model band responses");
    return finish(surface.get(), context.get(), path, error);
}

WaveformEnvelope::WaveformEnvelope(std::size_t totalFrames, double sampleRateHz)
    : totalFrames_(totalFrames),
      seconds_(sampleRateHz > 0.0 ? static_cast<double>(totalFrames) / sampleRateHz : 0.0),
      low_(std::min(kColumns, totalFrames), 0.0f),
      high_(low_.size(), 0.0f),
      seen_(low_.size(), false) {}

WaveformEnvelope WaveformEnvelope::of(const AudioData& audio) {
    WaveformEnvelope envelope(audio.frames(), audio.sampleRateHz);
    envelope.add(audio.channels, audio.frames());
    return envelope;
}

void WaveformEnvelope::add(const std::vector<std::vector<float>>& channels, std::size_t frames) {
    frames = std::min(frames, totalFrames_ - added_);
    const std::size_t columns = low_.size();
    for (const std::vector<float>& channel : channels) {
        for (std::size_t i = 0; i < frames && i < channel.size(); ++i) {
            const float v = channel[i];
            if (!std::isfinite(v)) continue;
            const std::size_t column = (added_ + i) * columns / totalFrames_;
            low_[column] = seen_[column] ? std::min(low_[column], v) : v;
            high_[column] = seen_[column] ? std::max(high_[column], v) : v;
            seen_[column] = true;
            peak_ = std::max(peak_, static_cast<double>(std::abs(v)));
        }
    }
    added_ += frames;
}

bool WaveformEnvelope::range(std::size_t first, std::size_t last, float& low, float& high) const {
    bool any = false;
    for (std::size_t c = first; c < last && c < low_.size(); ++c) {
        if (!seen_[c]) continue;
        low = any ? std::min(low, low_[c]) : low_[c];
        high = any ? std::max(high, high_[c]) : high_[c];
        any = true;
    }
    return any;
}

}  // namespace tessel::cli
