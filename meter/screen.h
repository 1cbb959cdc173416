// What the four meter screens share: opening and closing a screen panel, the block read
// into the shared answer buffer, one write request, and the popup after a write.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace meter {

// Catalogue texts of the technicians' additions to the configuration screens.
enum {
  // 331-333, the clock and file buttons' labels, come through the resource file.
  kTextConfigFile = 334,  // title of the file dialogs and of their popups
  kTextNotLoaded = 335,
  kTextNotSaved = 336,
  kTextFileSaved = 347,
  kTextReadBack = 349,  // "Read back after writing:"
  kTextWritten = 350,
  kTextReadValue = 351,
  kTextSame = 352,
  kTextDifferent = 353,
  kTextAtRestart = 354,  // the meter applies the setting at its next start
};

// Asks the operator for a file to save to (`save`) or to load from; "" when the operator
// cancels. The platform's file dialog unless a picker is installed (tests install one).
using FilePicker = std::string (*)(bool save);
void SetFilePicker(FilePicker picker);
std::string PickFile(bool save);
// The same with the dialog's title (a catalogue text) and file filter.
std::string PickFile(bool save, int title, const char* filter);
// The outcome of a configuration-file save or load, in a popup titled kTextConfigFile:
// `headline` (a catalogue text), the file's path, and `detail` when there is one.
void ShowFileOutcome(int headline, const std::string& path, const std::string& detail);
struct ConfigFile;
// Asks for a path and saves `f` there atomically, then tells the outcome; nothing when the
// operator cancels.
void SaveConfigFileAs(const ConfigFile& f);
// Asks for a path and loads it into `f`. False when the operator cancels, or, with the
// outcome told, when the file is refused or lacks `section` ("[device]" or "[display]").
bool LoadConfigFileFrom(ConfigFile* f, const char* section);

// Shows the main panel again: the panel of the last committed connection (Panel_Puerto),
// else the main panel (Panel_Principal), else `fallback`, whichever can be displayed first.
void ShowMainPanel(int fallback);

// Opens a screen from the main panel's button on `caller`: hides `caller`, loads panel
// `resource`, displays it and installs `onClose` for its close box. A new handle, or a
// negative code when the panel cannot be loaded: then the operator is told why and the
// main panel is shown again, so no window is ever left without a way back.
int OpenScreen(int caller, int resource, int (*onClose)(int, int, void*, int, int));

// Closes a screen: discards `panel` and shows the main panel again.
void CloseScreen(int panel);

// Reads `count` registers from `start` (function 3) into Trama_Respuesta. 1 when a valid
// answer of exactly that many registers arrived; the engine's negative code, or -2 for an
// answer of another function or byte count (it would leave stale bytes in the buffer).
// A link found closed is reported to the link-lost handler.
int ReadBlock(int start, int count);
// Register data of the last successful ReadBlock of `count` registers.
std::span<const unsigned char> BlockData(int count);

// One write-multiple-registers request (function 16) of `count` registers from `start`,
// with the request frame and answer buffer of its own. 1 when the meter confirmed that
// start and count; the engine's negative code, or -2 for an answer that does not match.
// A link found closed is reported to the link-lost handler.
int WriteBlock(int start, int count, std::span<const unsigned char> data);

// The handler told when an exchange finds the link closed: the application shell installs
// the one that shows the main panel disconnected (the screens do not own that panel).
void SetLinkLostHandler(void (*handler)(void));

// Exception code of the last ReadBlock or WriteBlock that ended in a Modbus exception (-3).
int LastExceptionCode();
// Why an exchange failed, in the catalogue's language: no answer, an answer that is not
// valid, the meter's exception N with its meaning (LastExceptionCode), or a closed link.
std::string FailureReason(int rc);

// Sets a control's value and reads it back: true only when the control exists, takes that
// kind of value and now holds exactly it (not coerced into its range).
bool Store(int panel, int control, int value);
bool Store(int panel, int control, double value);

// One write of a send or save that the meter did not confirm.
struct FailedWrite {
  int number;          // 1 for the first write of the send
  int start, count;    // registers
  int rc;              // WriteBlock's result
  std::string reason;  // FailureReason(rc), taken when the write ended
};
// The popup after a configuration send or a display save: texts 199/200 when every write
// was confirmed; otherwise title 195 and one line per failed write, saying why.
void ShowWriteOutcome(std::span<const FailedWrite> failed);
// The popup of a send or save that wrote nothing because a control could not give its value.
void ShowNothingSent();

// Polling stopped on failure `rc`: the value controls are greyed, the status text says that
// reading stopped and why, and the read-again button is offered. ShowFresh undoes it.
void ShowStale(int panel, std::span<const int> values, int status, int readAgain, int rc);
void ShowFresh(int panel, std::span<const int> values, int status, int readAgain);
// Puts the read-again button's label in the catalogue's language.
void LabelReadAgain(int panel, int readAgain);

}  // namespace meter
