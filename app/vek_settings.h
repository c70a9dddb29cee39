#pragma once
#include "app/main_window_parts.h"
#include "authservice/vek_config.h"

namespace qel {

/// The authentication service's settings file and process-wide environment switch.
class ProcessVekSettings : public VekSettings {
public:
    void loadParams() override { vek::VekConfig::loadParams(); }
    void setTestEnvironment(bool isTestEnvironment) override { vek::setTestEnvironment(isTestEnvironment); }
};

}  // namespace qel
