#include "app/arg_list.h"

#include <algorithm>
#include <cctype>

namespace nelo {

arg_list make_arg_list(int argc, const char* const* argv) {
  arg_list args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return args;
}

bool same_option(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

namespace {

arg_list::const_iterator find_word(std::string_view name, const arg_list& args, size_t from) {
  if (from >= args.size()) return args.end();
  return std::find_if(args.begin() + static_cast<std::ptrdiff_t>(from), args.end(),
                      [name](const std::string& w) { return same_option(w, name); });
}

}  // namespace

value_lookup find_value(std::string_view name, arg_list& args, std::string& value) {
  auto it = find_word(name, args, 0);
  if (it == args.end()) return value_lookup::absent;
  if (it + 1 == args.end()) {
    args.erase(it);
    return value_lookup::no_value;
  }
  value = *(it + 1);
  args.erase(it, it + 2);
  return value_lookup::found;
}

bool find_flag(std::string_view name, arg_list& args) {
  auto it = find_word(name, args, 0);
  if (it == args.end()) return false;
  args.erase(it);
  return true;
}

bool has_option_keep(std::string_view name, const arg_list& args) {
  return find_word(name, args, 1) != args.end();
}

bool find_value_keep(std::string_view name, const arg_list& args, std::string& value) {
  auto it = find_word(name, args, 1);
  if (it == args.end() || it + 1 == args.end()) return false;
  value = *(it + 1);
  return true;
}

}  // namespace nelo
