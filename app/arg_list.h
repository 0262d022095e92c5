// The command line as an ordered, mutable list of words (program path first) and the lookups
// that consume options from it. Option names compare without regard to case; what no lookup
// consumes is left on the list for the option parser to name.
#ifndef NELO_APP_ARG_LIST_H_
#define NELO_APP_ARG_LIST_H_

#include <string>
#include <string_view>
#include <vector>

namespace nelo {

using arg_list = std::vector<std::string>;

arg_list make_arg_list(int argc, const char* const* argv);

// True when the two names are equal ignoring ASCII case.
bool same_option(std::string_view a, std::string_view b);

// What a value lookup found: the option and its value, no such option, or the option as the last
// word with no value to take.
enum class value_lookup { absent, found, no_value };

// Finds the first word equal to `name`. When it has a following word, yields that as the value
// and removes both; when it is the last word it counts as absent, is removed all the same (so it
// is not taken for a repeat later) and `no_value` says so.
value_lookup find_value(std::string_view name, arg_list& args, std::string& value);
// Finds the first word equal to `name` and removes it.
bool find_flag(std::string_view name, arg_list& args);
// The same searches from the second word on (the program path is skipped), removing nothing.
bool has_option_keep(std::string_view name, const arg_list& args);
bool find_value_keep(std::string_view name, const arg_list& args, std::string& value);

}  // namespace nelo

#endif  // NELO_APP_ARG_LIST_H_
