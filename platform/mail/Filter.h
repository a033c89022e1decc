#pragma once
// Filter expressions of the form the mail client's Restrict takes:
//   [MessageClass] = 'IPM.Note' And ([FaxID] >= ' ' And [FaxID] <= 'z')
// Comparisons (=, <>, <, >, <=, >=) of a bracketed field with a quoted text,
// a number or True/False, combined with And, Or, Not and parentheses.
// Texts compare without regard to case; an item that lacks the field never
// matches a comparison on it.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brevant::mail {

class Filter {
 public:
  // Throws MailError 13 with the reason when the text does not parse.
  static Filter Parse(const std::string& text);

  // Every field the expression names, as written (without brackets).
  const std::vector<std::string>& Fields() const { return fields_; }

  // value(field) gives the item's value of a field, or nullopt when the item
  // does not have it.
  using Lookup = std::function<std::optional<std::string>(const std::string& field)>;
  bool Matches(const Lookup& value) const;

  struct Node;

 private:
  std::shared_ptr<const Node> root_;
  std::vector<std::string> fields_;
};

// Compares two values the way the filter does: numerically when both are
// numbers, else as texts without regard to case. <0, 0, >0.
int CompareValues(const std::string& a, const std::string& b);

}  // namespace brevant::mail
