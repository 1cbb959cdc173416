#include "platform/line_file.h"

#include <QFile>
#include <QString>

#include "platform/ui.h"

namespace ui {

struct LineFile::Impl {
  QFile file;
};

LineFile::LineFile() : impl_(std::make_unique<Impl>()) {}
LineFile::~LineFile() = default;

bool LineFile::Create(const std::string& path, std::string* why) {
  impl_->file.setFileName(QString::fromStdString(path));
  if (impl_->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return true;
  *why = ToCp1252(impl_->file.errorString().toStdU16String());
  return false;
}

bool LineFile::Write(const std::string& bytes, std::string* why) {
  const auto n = static_cast<qint64>(bytes.size());
  if (impl_->file.write(bytes.data(), n) == n && impl_->file.flush()) return true;
  *why = ToCp1252(impl_->file.errorString().toStdU16String());
  return false;
}

}  // namespace ui
