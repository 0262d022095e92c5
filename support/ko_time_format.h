// Date and time text of a `ko::time`: the fixed columns of the report and the run header's
// formats. Fields are written as our own digits, never through the C library's time functions,
// so the text does not depend on the machine's time zone or locale.
#ifndef NELO_SUPPORT_KO_TIME_FORMAT_H_
#define NELO_SUPPORT_KO_TIME_FORMAT_H_

#include <string>
#include <string_view>

#include "support/ko_time.h"

namespace ko {

// The report's fixed forms: "yyyy-mm-dd" (10 characters) and "hh:mm:ss.mmm" (12 characters),
// milliseconds truncated. Writes nothing and returns false for an invalid value.
bool write_date_time_utc(const time& value, char (&date)[10], char (&clock)[12]);
// Date text in `date_format` (e.g. "mm/dd/yyyy") and time text in `time_format` ("hh:mm" and
// "ss" are its tokens, e.g. "hh:mm:ss"); false and both empty when the value is not valid.
bool format_date_time_custom(std::string& date, std::string& clock, const time& value,
                             std::string_view date_format, std::string_view time_format);

}  // namespace ko

#endif  // NELO_SUPPORT_KO_TIME_FORMAT_H_
