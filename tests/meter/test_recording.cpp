// CSV recording on the polling screens against the pymodbus peer: a header in the chosen
// language, one row per successful poll and none for a failed one, and a clear message when
// the file cannot be created.
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "meter/recording.h"
#include "meter_fixture.h"

namespace {

using namespace mtest;
using Recording = ScreenTest;

QStringList Lines(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromLatin1(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
}

TEST_F(Recording, RowsForSuccessfulPollsOnlyWithTheHeaderInTheChosenLanguage) {
  struct Row {
    int language, button, record, timer, exit, firstLabel, columns;
    const char* separator;
    int faulty;  // the first register pair of a request
  } rows[] = {
      {1, 2, kMedidasRecord, kMedidasTimer, kMedidasExit, 221, 33, ";", 1074},    // Spanish
      {2, 3, kEnergiasRecord, kEnergiasTimer, kEnergiasExit, 252, 12, ",", 270},  // English
  };
  const QRegularExpression iso(
      "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.language);
    peer->Reset();
    peer->Set(1024, {230123 >> 16, 230123 & 0xFFFF});  // L1-N 230.123 V
    ASSERT_NE(Cargar_Textos_Idioma(VELDIX_SOURCE_DIR "/resources/language.ini", r.language),
              nullptr);
    QTemporaryDir dir;
    pick = dir.filePath("rec.csv").toStdString();
    const int p = Open(r.button);
    ASSERT_GT(p, 0);
    Click(p, r.record);
    const QString path = QString::fromStdString(pick);
    ASSERT_TRUE(RunUntil([&] { return Lines(path).size() >= 3; }, 20)) << "no two rows";

    peer->Fault(r.faulty, r.faulty + 1, "exception");
    ASSERT_TRUE(RunUntil([&] { return Get<int>(p, r.timer, ATTR_ENABLED) == 0; }, 20));
    const QStringList lines = Lines(path);
    RunFor(0.5);  // a stopped screen writes nothing more
    EXPECT_EQ(Lines(path), lines);

    const QStringList header = lines[0].split(r.separator);
    ASSERT_EQ(header.size(), 1 + r.columns);
    EXPECT_EQ(header[0], Catalogue(401));
    EXPECT_EQ(header[1], Catalogue(r.firstLabel));
    for (int i = 1; i < lines.size(); ++i) {
      const QStringList fields = lines[i].split(r.separator);
      ASSERT_EQ(fields.size(), 1 + r.columns) << lines[i].toStdString();
      EXPECT_TRUE(iso.match(fields[0]).hasMatch()) << fields[0].toStdString();
      EXPECT_TRUE(r.language != 1 || fields[1] == "230,123") << fields[1].toStdString();
    }
    Click(p, r.record);  // stops: the button reads Record again
    char label[64] = "";
    GetCtrlAttribute(p, r.record, ATTR_LABEL, label);
    EXPECT_EQ(QString::fromLatin1(label), Catalogue(397));
    Click(p, r.exit);
  }
}

TEST_F(Recording, AFileThatCannotBeCreatedIsNamedWithTheReason) {
  pick = "/nonexistent-folder/rec.csv";
  const int p = Open(2);
  ASSERT_GT(p, 0);
  Click(p, kMedidasRecord);
  ASSERT_TRUE(RunUntil([&] { return !popups.seen.empty(); }, 5));
  EXPECT_EQ(popups.seen[0].title, Catalogue(399));
  EXPECT_TRUE(
      popups.seen[0].text.startsWith(Catalogue(400) + "\n" + QString::fromStdString(pick) + "\n"))
      << popups.seen[0].text.toStdString();
  EXPECT_GT(popups.seen[0].text.size(), Catalogue(400).size() + 30);  // a reason follows
  EXPECT_FALSE(meter::IsRecording(p));
}

}  // namespace
