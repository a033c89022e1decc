#pragma once
// The recipients page's address book over the user's vCard contacts,
// "AddressBook": the contacts and lists on the left, the recipients picked
// so far in the "To" list; "Choice" (or a double click) moves the selected
// contacts there, and OK hands them to the page.
#include <vector>

#include "delivery/AddressBook.h"

namespace brevant::wizard {

// Shows the address book, modal. True with the picked entries appended to
// *picked (none when cancelled); unattended nobody picks, so nothing is.
bool PickFromContacts(std::vector<AddressEntry>* picked);

}  // namespace brevant::wizard
