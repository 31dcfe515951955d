#include "app/startup_rules.h"

#include <cctype>

namespace ostrel {

std::string DgpsItem(std::string_view friendly_name) {
  const std::size_t open = friendly_name.find('(');
  if (open == std::string_view::npos) return std::string(friendly_name);
  std::string_view rest = friendly_name.substr(open + 1);
  if (!rest.empty()) rest.remove_suffix(1);
  return std::string(rest);
}

int FindItemNoCase(const std::vector<std::string>& items, std::string_view text) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string& item = items[i];
    if (item.size() != text.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < item.size() && same; ++k) {
      same = std::tolower(static_cast<unsigned char>(item[k])) ==
             std::tolower(static_cast<unsigned char>(text[k]));
    }
    if (same) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace ostrel
