// Levels, level tables, build-time switches and line formats of the application log.
#pragma once

#include <QMetaType>

namespace applog {

// A fixed underlying type keeps every int a valid value, so an out-of-range level that
// reaches a sink is simply refused instead of being undefined.
enum LogLevel : int {
    LogLevel_FATAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_NOTE = 3,
    LogLevel_INFO = 4,
    LogLevel_DEBUG = 5,
    LogLevel_FUNCTION = 6,
    LogLevel_INTERNAL = 7,
};

constexpr int LOG_LEVEL_COUNT = 8;

// One letter per level, indexed by the level's value.
constexpr char LOG_LEVEL_LETTERS[] = "!EWNIDF-";

// Which levels are written, in level order.
struct EnableLogLevels
{
    bool levels[LOG_LEVEL_COUNT] = {true, true, true, true, true, false, false, true};

    constexpr bool enabled(int level) const
    {
        return level >= 0 && level < LOG_LEVEL_COUNT && levels[level];
    }
};

// The level table the logging macros consult before they call the logger.
constexpr EnableLogLevels ENABLE_LOG_LEVELS {};

// Build-time switches. Only the file sink exists in this system.
constexpr bool ENABLE_LOG_SINK_FILE = true;
constexpr bool ENABLE_CONSOLE_LOG_FILE_STATE = true;
constexpr bool ENABLE_FUNCTION_STACK_TRACE = true;
constexpr bool ENABLE_LOG_SINK_CONSOLE = false;
constexpr bool ENABLE_LOG_SINK_QDEBUG = false;
constexpr bool ENABLE_LOG_SINK_SIGNAL = false;

// Line templates: the record format and the shorter one of the logger's own records.
constexpr char DEFAULT_LOG_FORMAT[] = "<TS> [<TID>] [<LL>] <TEXT> (<FUNC>@<FILE>:<LINE>)";
constexpr char DEFAULT_LOG_FORMAT_INT[] = "<TS> [<TID>] [<LL>] <TEXT>";

} // namespace applog

Q_DECLARE_METATYPE(applog::LogLevel)
