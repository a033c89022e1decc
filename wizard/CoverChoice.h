#pragma once
// The cover page choice that the wizard's cover page and the default cover
// page dialog both show: the template list, the check box that switches the
// fields on and off, and the template's preview.
#include <initializer_list>

class QCheckBox;
class QComboBox;
class QLabel;
class QWidget;

namespace brevant::wizard {

// Fills the list with the templates found (and the fax job's cover page
// list with their paths); with none, the list says "Cover pages not found."
// and the check box is disabled. Scan errors are logged under `source`.
void FillCoverList(QComboBox* list, QCheckBox* useCover, const char* source);

// Enables the fields with the check box; the subject line's background
// follows, as a disabled text field's would.
void EnableCoverFields(bool on, std::initializer_list<QWidget*> fields, QWidget* subject, QWidget* note);

// Shows the chosen template in the picture, or nothing when there is none.
// Throws what the drawing throws.
void ShowCoverPreview(const QComboBox* list, QLabel* picture, const char* source);

// Sets the fax job's cover page index to the template stored as the user's
// "CoverPageFile", when it is in the list.
void SelectStoredCover();

}  // namespace brevant::wizard
