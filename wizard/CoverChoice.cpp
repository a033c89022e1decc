#include "wizard/CoverChoice.h"

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QSignalBlocker>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "render/CoverPageList.h"
#include "render/cover/CoverImage.h"
#include "wizard/Form.h"

namespace brevant::wizard {

void FillCoverList(QComboBox* list, QCheckBox* useCover, const char* source) {
  VbList<std::string>& paths = FaxJob().CoverPages;
  paths.Clear();
  QSignalBlocker quiet(list);
  for (const render::CoverPageEntry& e : render::ListCoverPages(source)) {
    list->addItem(Q(e.display));
    paths.Append(e.path);
  }
  if (list->count() == 0) {
    list->setEditable(true);
    list->setEditText("Cover pages not found.");
    list->lineEdit()->setReadOnly(true);
    useCover->setEnabled(false);
  }
}

void EnableCoverFields(bool on, std::initializer_list<QWidget*> fields, QWidget* subject, QWidget* note) {
  for (QWidget* w : fields) w->setEnabled(on);
  subject->setEnabled(on);
  note->setEnabled(on);
  QPalette pal = subject->palette();
  pal.setColor(QPalette::Base, on ? note->palette().color(QPalette::Base)
                                  : subject->window()->palette().color(QPalette::Window));
  subject->setPalette(pal);
}

void ShowCoverPreview(const QComboBox* list, QLabel* picture, const char* source) {
  const int pos = list->currentIndex();
  const VbList<std::string>& paths = FaxJob().CoverPages;
  if (list->isEditable() || pos < 0 || std::size_t(pos) + 1 > paths.Count()) {
    picture->clear();
    return;
  }
  const qreal ratio = picture->devicePixelRatioF();
  QImage image = cover::CoverPreview(paths[std::size_t(pos) + 1], picture->size() * ratio, source);
  image.setDevicePixelRatio(ratio);
  picture->setPixmap(QPixmap::fromImage(image));
}

void SelectStoredCover() {
  FaxJobRecord& job = FaxJob();
  CWinReg reg;
  if (!reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kUserInfoKey)) return;
  const std::string file = reg.GetString("CoverPageFile");
  for (std::size_t i = 1; i <= job.CoverPages.Count(); ++i)
    if (job.CoverPages[i] == file) job.CoverIndex = std::int16_t(i - 1);
}

}  // namespace brevant::wizard
