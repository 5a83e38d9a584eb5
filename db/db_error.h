// The table engine's one exception class. The message is what a person sees; the kind lets
// callers and tests tell the failures apart without parsing text.
#pragma once

#include <stdexcept>
#include <string>

namespace tarvo::db {

class EDBEngineError : public std::runtime_error {
 public:
  enum class Kind {
    kMissingFile,   // a table or companion file that must exist does not
    kInUse,         // another program holds the table
    kInvalidValue,  // a value that the field cannot take
    kBadFilter,     // a filter expression that does not parse or names an absent field
    kKeyViolation,  // a record whose primary key is already in the table
    kDamaged,       // a file whose structure is not valid Paradox
    kNoField,       // a field name that the table lacks
    kNoIndex,       // an index name that the table lacks
    kState,         // an operation that the table's state does not allow (closed, not editing)
    kIo,            // a read or write that failed
    kUnsupported,   // a valid Paradox feature this engine does not handle (encryption)
  };
  EDBEngineError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

}  // namespace tarvo::db
