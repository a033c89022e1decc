#pragma once
// The base of every window of the wizard and its dialogs: a named form that
// registers itself with the loaded forms, writes the trace lines of its
// handlers, and is unloaded (its unload handler runs, then it is deleted)
// rather than merely closed.
#include <QDialog>
#include <QString>
#include <string>

class QBoxLayout;
class QEventLoop;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace brevant::wizard {

QString Q(const std::string& s);
std::string S(const QString& s);
// Removes blanks at both ends (blanks only, as the forms have always done).
std::string TrimBlanks(const std::string& s);

class Form : public QDialog {
 public:
  explicit Form(const char* name);
  ~Form() override;

  // Runs the unload handler, leaves the loaded forms, hides the window and
  // deletes it once control is back in the event loop. Safe to call twice.
  void Unload();
  bool Unloading() const { return unloading_; }
  // Shows the form and waits until it is hidden or unloaded. Unattended
  // runs do not wait: nobody is there to answer, so the form is closed as
  // with Escape.
  void ShowModal();
  // Shows the form at the place of another window (the wizard's pages take
  // over each other's position; withSize also takes the size).
  void ShowAt(const QWidget* where, bool withSize);

 protected:
  static void Trace(const std::string& text);
  // The form became active (shown). Pages rebuild from the fax job here.
  virtual void Activate() {}
  // The unload handler.
  virtual void FormUnload() {}
  // Escape, and an unattended run that nobody answers: the Cancel button's
  // work where the form has one.
  virtual void CloseRequested() { Unload(); }
  // The window's close box: unloads the form (its unload handler decides
  // whether the run ends); forms whose close box is their Cancel say so.
  virtual void CloseBox() { CloseRequested(); }

  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  int formId_ = 0;
  bool unloading_ = false;
  QEventLoop* modalLoop_ = nullptr;
};

// The common frame of the four wizard pages: a heading with its
// explanation, the page's own controls, the phone line notice and the
// "< Back", "Next >", "Cancel" buttons.
class WizardPage : public Form {
 public:
  WizardPage(const char* name, const char* title);

 protected:
  // Escape does not end the wizard: one key would throw away everything
  // typed on its pages. "Cancel" and the close box end it.
  void reject() override {}
  // Builds the heading; returns the layout for the page's own controls.
  // The page then creates its controls and calls FinishFrame, so the tab
  // order runs from the heading through the controls to the buttons.
  QVBoxLayout* BuildFrame(const QString& heading, const QStringList& explanation);
  void FinishFrame(const char* backName, const char* nextName, const char* cancelName,
                   const QString& nextText = "Next >");
  QVBoxLayout* outer_ = nullptr;
  QPushButton* back_ = nullptr;
  QPushButton* next_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace brevant::wizard
