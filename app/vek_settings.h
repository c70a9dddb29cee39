#pragma once
#include "app/later_hooks.h"
#include "authservice/vek_config.h"

namespace qel {

/// The authentication service's settings file and process-wide environment switch.
class ProcessVekSettings : public VekSettings {
public:
    void loadParams() override { vek::VekConfig::loadParams(); }
    void setTestEnvironment(bool isTestEnvironment) override { vek::setTestEnvironment(isTestEnvironment); }
};

}  // namespace qel
