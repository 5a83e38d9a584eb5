#include "app/product.h"

#include "text/codepage.h"

namespace tarvo::app {

std::string ProductName() { return "Tarvo Estimate " + std::to_string(kGeneration); }

std::string ProductExeName() {
  std::string name = ProductName();
  const std::string word = " Estimate ";
  for (size_t i = 0; i + word.size() <= name.size();) {
    if (text::EqualsIgnoreCase(name.substr(i, word.size()), word)) {
      name.erase(i, word.size());
    } else {
      ++i;
    }
  }
  return name + ".exe";
}

std::string RequiredVersion() {
  const std::string name = ProductName();
  return std::string(1, name.back()) + "." + "2" + "5" + "b";
}

}  // namespace tarvo::app
