// Traffic log window: the frames of the meter link as the log holds them, kept up to date
// while the window is open. The log records while the window is open and keeps its frames
// when it closes.
#include <algorithm>
#include <cstdint>
#include <string>

#include "app/app.h"
#include "lang/catalogue.h"
#include "link/traffic_log.h"
#include "meter/recording.h"
#include "meter/screen.h"
#include "platform/safe_file.h"
#include "platform/ui.h"

namespace {

enum {
  kResTrafico = 7,
  kTrafficList = 2,
  kTrafficCount = 3,
  kTrafficSaveText = 4,
  kTrafficSaveCsv = 5,
  kTrafficTimer = 8,
  kTextTrafficTitle = 357,
  kTextFrames = 361,
  kTextNotSaved = 336,
  kTextFileSaved = 347,
};

int g_panel = -1;
std::uint64_t g_shown = 0;  // traffic::Total() when the list was last brought up to date

const char* Words(traffic::Word w) {
  return CatalogueText(meter::kTextFirstTrafficWord + static_cast<int>(w));
}

// "21:40:05.123  sent      RTU         01 03 04 00 00 32 C4 C7  | slave 1, ... | OK"
std::string Line(const traffic::Frame& f) {
  const std::string time = traffic::Timestamp(f).substr(11);
  std::string dir = traffic::WordText(
      f.direction == traffic::Direction::kSent ? traffic::Word::kSent : traffic::Word::kReceived);
  std::string link = traffic::LinkName(f.link);
  dir.resize(std::max<std::size_t>(dir.size(), 9), ' ');
  link.resize(std::max<std::size_t>(link.size(), 11), ' ');
  return time + "  " + dir + " " + link + " " + traffic::Hex(f) + "  | " + traffic::Summary(f) +
         " | " + traffic::ResultText(f.result);
}

// Brings the list up to date: drops the lines the log has dropped, appends the new frames.
void Refresh() {
  if (g_panel < 0) return;
  const std::uint64_t total = traffic::Total();
  const std::size_t count = traffic::Count();
  int items = 0;
  GetNumListItems(g_panel, kTrafficList, &items);
  const std::size_t fresh =
      static_cast<std::size_t>(std::min<std::uint64_t>(total - g_shown, count));
  const std::size_t kept = count - fresh;  // lines on the list still in the log
  if (static_cast<std::size_t>(items) > kept)
    DeleteListItem(g_panel, kTrafficList, 0, items - static_cast<int>(kept));
  for (std::size_t i = kept; i < count; ++i)
    InsertListItem(g_panel, kTrafficList, -1, Line(traffic::At(i)).c_str(), 0);
  g_shown = total;
  const std::string shown = std::to_string(count) + " " + CatalogueText(kTextFrames);
  SetCtrlVal(g_panel, kTrafficCount, shown.c_str());
}

void CloseTraffic() {
  if (g_panel < 0) return;
  traffic::SetOn(false);
  DiscardPanel(g_panel);
  g_panel = -1;
}

}  // namespace

void Abrir_Trafico(int, int, void*, int) {
  if (g_panel < 0) {
    g_panel = LoadPanel(0, kUirFile, kResTrafico);
    if (g_panel < 0) {
      MessagePopup(kAppTitle, ui::LastLoadError());
      return;
    }
    g_shown = traffic::Total() - traffic::Count();  // what the log kept from before, too
    traffic::SetOn(true);
    Refresh();
  }
  DisplayPanel(g_panel);
}

int Refrescar_Trafico(int, int, int event, void*, int, int) {
  if (event == EVENT_TIMER_TICK) Refresh();
  return 0;
}

int Guardar_Trafico(int, int control, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  const bool csv = control == kTrafficSaveCsv;
  const std::string path =
      meter::PickFile(true, kTextTrafficTitle, csv ? "CSV (*.csv);;* (*)" : "* (*.txt);;* (*)");
  if (path.empty()) return 0;
  Refresh();
  const std::string data =
      csv ? traffic::ExportCsv(meter::FieldSeparator()) : traffic::ExportText();
  const std::string why = safe_file::WriteAtomically(path, data, 0644);
  std::string text = std::string(CatalogueText(why.empty() ? kTextFileSaved : kTextNotSaved)) +
                     "\n" + ui::PathToCp1252(path) + (why.empty() ? "" : "\n" + why);
  MessagePopup(CatalogueText(kTextTrafficTitle), text.c_str());
  return 0;
}

int Borrar_Trafico(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  traffic::Clear();
  ClearListCtrl(g_panel, kTrafficList);
  g_shown = traffic::Total();
  Refresh();
  return 0;
}

int Salir_Trafico(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) CloseTraffic();
  return 0;
}

int Cerrar_Trafico(int, int event, void*, int, int) {
  if (event == EVENT_CLOSE) CloseTraffic();
  return 0;
}

void RegisterTrafficCallbacks() {
  traffic::SetWords(Words);
  RegisterMenuCallback("Abrir_Trafico", Abrir_Trafico);
  RegisterCtrlCallback("Refrescar_Trafico", Refrescar_Trafico);
  RegisterCtrlCallback("Guardar_Trafico", Guardar_Trafico);
  RegisterCtrlCallback("Borrar_Trafico", Borrar_Trafico);
  RegisterCtrlCallback("Salir_Trafico", Salir_Trafico);
  RegisterPanelCallback("Cerrar_Trafico", Cerrar_Trafico);
}
