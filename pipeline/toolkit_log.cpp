#include "pipeline/toolkit_log.h"

#include <opencv2/core/utils/logger.hpp>

namespace ambrel::pipeline {

int silenceToolkitLog()
{
    return static_cast<int>(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT));
}

void restoreToolkitLog(int level)
{
    cv::utils::logging::setLogLevel(static_cast<cv::utils::logging::LogLevel>(level));
}

}  // namespace ambrel::pipeline
