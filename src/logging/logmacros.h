// One macro per level for writing a log record. Each does nothing while its level is off in
// the global level table or while no logger exists, so it is safe at any time.
#pragma once

#include "logger.h"

#define APPLOG_RECORD(level, text)                                                                 \
    do {                                                                                           \
        if (applog::ENABLE_LOG_LEVELS.enabled(level) && applog::Logger::getInstance())             \
            applog::Logger::getInstance()->log((text), (level), QLatin1String(__func__), __FILE__, \
                                               static_cast<unsigned>(__LINE__));                   \
    } while (false)

#define APPLOG_FATAL(text) APPLOG_RECORD(applog::LogLevel_FATAL, text)
#define APPLOG_ERROR(text) APPLOG_RECORD(applog::LogLevel_ERROR, text)
#define APPLOG_WARNING(text) APPLOG_RECORD(applog::LogLevel_WARNING, text)
#define APPLOG_NOTE(text) APPLOG_RECORD(applog::LogLevel_NOTE, text)
#define APPLOG_INFO(text) APPLOG_RECORD(applog::LogLevel_INFO, text)
#define APPLOG_DEBUG(text) APPLOG_RECORD(applog::LogLevel_DEBUG, text)
