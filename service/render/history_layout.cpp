// The history layouts: "Recently played" and the charts of top artists and top tracks.
#include "render/history_layout.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "render/track_text.h"

namespace {

constexpr double kLeft = 16;  // after the accent bar
constexpr double kRight = 12;
constexpr double kTextWidth = kHistoryWidth - kLeft - kRight;
constexpr double kAccentBar = 4;
constexpr double kHeadingBaseline = 20;
constexpr double kHeadingPx = 12;
constexpr double kUserPx = 11;
constexpr double kRuleY = 28;
constexpr double kRowsTop = 33;
constexpr double kRowPitch = 22.6;  // five rows fill the rest of the image
constexpr double kRowBaseline = 15.5;
constexpr size_t kRowsPerColumn = 5;
constexpr size_t kMaxRecentRows = 10;
constexpr size_t kMaxChartRows = 5;
constexpr double kColumnGap = 16;
constexpr double kNoteGap = 10;  // between a row's text and its note
constexpr double kRankWidth = 18;
constexpr double kEmptyPx = 14;

// Text sizes of rows: one column of up to five rows, or two columns of smaller text.
struct CRowFont {
  double trackPx;
  double notePx;
};
constexpr CRowFont kWideRows = {13, 11};
constexpr CRowFont kNarrowRows = {11.5, 10};

// Builds the scene of one view. Lives for one LayOutHistory call.
class CHistoryScene {
 public:
  CHistoryScene(PangoContext* context, const CHistoryView& view, std::vector<CDrawnText>* drawn)
      : m_context(context),
        m_view(view),
        m_drawn(drawn),
        m_palette(PaletteFor(view.style)),
        m_accent(m_palette.playing),
        m_accentText(Readable(m_accent, m_palette.background, m_palette)) {
    m_scene.width = kHistoryWidth;
    m_scene.height = kHistoryHeight;
  }

  CScene Build() {
    Background();
    Heading();
    if (m_view.rows.empty()) {
      Empty();
    } else if (m_view.kind == CHistoryView::EKind::kRecent) {
      Recent();
    } else {
      Chart();
    }
    return std::move(m_scene);
  }

 private:
  void Box(const CColor& color, double x, double y, double w, double h) {
    m_scene.boxes.push_back({color, x, y, w, h});
  }

  // Places `line` with its baseline at `baseline`, noting it as part of a line `lineWidth` wide;
  // returns its width.
  double Text(std::unique_ptr<CLine> line, double x, double baseline, const CColor& color,
              double lineWidth) {
    const double width = line->Width();
    if (m_drawn && !line->Drawn(lineWidth).text.empty()) {
      m_drawn->push_back(line->Drawn(lineWidth));
    }
    m_scene.texts.push_back({std::move(line), x, baseline, color});
    return width;
  }

  std::unique_ptr<CLine> Line(const std::string& text, double px, bool bold, double width) {
    return std::make_unique<CLine>(m_context, text, px, bold, width);
  }

  void Background() {
    if (m_palette.border) {
      Box(m_palette.frame, 0, 0, kHistoryWidth, kHistoryHeight);
      Box(m_palette.background, 1, 1, kHistoryWidth - 2, kHistoryHeight - 2);
    } else {
      Box(m_palette.background, 0, 0, kHistoryWidth, kHistoryHeight);
    }
    Box(m_accent, 0, 0, kAccentBar, kHistoryHeight);
  }

  // "Recently played" or "Top artists · last 7 days" at the left, the user's name at the right,
  // a thin rule under both.
  void Heading() {
    double userWidth = 0;
    if (!m_view.user.empty()) {
      auto user = Line(m_view.user, kUserPx, false, kTextWidth / 3);
      userWidth = user->Width();
      Text(std::move(user), kLeft + kTextWidth - userWidth, kHeadingBaseline, m_palette.muted,
           kTextWidth);
    }
    std::string caption = m_view.kind == CHistoryView::EKind::kRecent       ? "Recently played"
                          : m_view.kind == CHistoryView::EKind::kTopArtists ? "Top artists"
                                                                            : "Top tracks";
    if (m_view.kind != CHistoryView::EKind::kRecent && !m_view.period.empty()) {
      caption += " \u00b7 " + m_view.period;
    }
    Text(Line(caption, kHeadingPx, true, std::max(1.0, kTextWidth - userWidth - 12)), kLeft,
         kHeadingBaseline, m_accentText, kTextWidth);
    Box(Mix(m_palette.background, m_palette.muted, 0.3), kLeft, kRuleY, kTextWidth, 1);
  }

  void Empty() {
    const bool always = m_view.kind == CHistoryView::EKind::kRecent || m_view.period.empty() ||
                        m_view.period == "all time";
    auto line = Line(always ? "Nothing played yet" : "Nothing played in the " + m_view.period,
                     kEmptyPx, false, kTextWidth);
    const double x = kLeft + (kTextWidth - line->Width()) / 2;
    Text(std::move(line), x, kRowsTop + 2.5 * kRowPitch, m_palette.muted, kTextWidth);
  }

  // "Artist – Title" from `x`, at most `width` wide.
  void Track(const CHistoryView::CRow& row, double x, double baseline, double px, double width) {
    CTrackLines track = LayOutTrack(m_context, row.artist, row.title, px, true, width);
    for (auto& part : track.parts) {
      x += Text(std::move(part), x, baseline, m_palette.text, track.line);
    }
  }

  void Recent() {
    const size_t count = std::min(m_view.rows.size(), kMaxRecentRows);
    const bool twoColumns = count > kRowsPerColumn;
    const CRowFont font = twoColumns ? kNarrowRows : kWideRows;
    const double column = twoColumns ? (kTextWidth - kColumnGap) / 2 : kTextWidth;
    for (size_t i = 0; i < count; ++i) {
      const CHistoryView::CRow& row = m_view.rows[i];
      const double x = kLeft + double(i / kRowsPerColumn) * (column + kColumnGap);
      const double top = kRowsTop + double(i % kRowsPerColumn) * kRowPitch;
      CColor noteColor = m_palette.muted;
      if (row.playing) {
        const CColor band = Mix(m_palette.background, m_accent, 0.16);
        Box(band, x - 6, top + 1, column + 10, kRowPitch - 2);
        noteColor = Readable(m_accent, band, m_palette);
      }
      const std::string note = row.note.empty() && row.playing ? "now playing" : row.note;
      auto noteLine = Line(note, font.notePx, row.playing, column / 2);
      const double noteWidth = note.empty() ? 0 : noteLine->Width();
      Text(std::move(noteLine), x + column - noteWidth, top + kRowBaseline, noteColor, column);
      Track(row, x, top + kRowBaseline, font.trackPx,
            column - noteWidth - (noteWidth > 0 ? kNoteGap : 0));
    }
  }

  void Chart() {
    const size_t count = std::min(m_view.rows.size(), kMaxChartRows);
    int64_t most = 0;
    for (size_t i = 0; i < count; ++i) most = std::max(most, m_view.rows[i].plays);
    const double barLeft = kLeft + kRankWidth;
    const double barFull = kTextWidth - kRankWidth;
    const CColor bar = Mix(m_palette.background, m_accent, 0.22);
    for (size_t i = 0; i < count; ++i) {
      const CHistoryView::CRow& row = m_view.rows[i];
      const double top = kRowsTop + double(i) * kRowPitch;
      const double baseline = top + kRowBaseline;
      if (most > 0 && row.plays > 0) {
        Box(bar, barLeft, top + 2, std::max(2.0, barFull * double(row.plays) / double(most)),
            kRowPitch - 4);
      }
      Text(Line(std::to_string(i + 1), kWideRows.notePx, false, 0), kLeft, baseline,
           m_palette.muted, kRankWidth);
      auto note = Line(row.note, kWideRows.notePx, false, barFull / 3);
      const double noteWidth = row.note.empty() ? 0 : note->Width();
      Text(std::move(note), barLeft + barFull - 6 - noteWidth, baseline, m_palette.muted, barFull);
      const double nameWidth = barFull - 12 - noteWidth - (noteWidth > 0 ? kNoteGap : 0);
      if (m_view.kind == CHistoryView::EKind::kTopTracks) {
        Track(row, barLeft + 6, baseline, kWideRows.trackPx, nameWidth);
      } else {
        const std::string artist = TrimBlanks(row.artist);
        Text(Line(artist.empty() ? "Unknown artist" : artist, kWideRows.trackPx, true,
                  std::max(1.0, nameWidth)),
             barLeft + 6, baseline, m_palette.text, nameWidth);
      }
    }
  }

  PangoContext* m_context;
  const CHistoryView& m_view;
  std::vector<CDrawnText>* m_drawn;
  const CPalette m_palette;
  const CColor m_accent;
  const CColor m_accentText;
  CScene m_scene;
};

}  // namespace

CScene LayOutHistory(PangoContext* context, const CHistoryView& view,
                     std::vector<CDrawnText>* drawn) {
  return CHistoryScene(context, view, drawn).Build();
}
