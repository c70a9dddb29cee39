#pragma once
// The maintenance sub-view and the services test window.
#include <functional>
#include <string>

#include "app/views/pin_dialog_views.h"
#include "app/views/widgets.h"

namespace qel::ui {

/// A check box with its own title.
class CheckBox : public Widget {
public:
    virtual void setChecked(bool checked) = 0;
    virtual bool isChecked() const = 0;
    /// Called after the user changed the state (never for `setChecked`).
    virtual void setToggleHandler(std::function<void()> handler) = 0;
};

/// A read-only text area.
class TextArea : public Widget {
public:
    virtual void setText(const std::string& text) = 0;
    virtual void appendText(const std::string& text) = 0;
    virtual std::string text() const = 0;
};

struct MaintenanceOutlets {
    Button* servicesTestButton = nullptr;
    CheckBox* activeTraces = nullptr;
    Button* traceLabelButton = nullptr;  ///< the trace switch's label, which flips the box
    Button* exportButton = nullptr;      ///< the diagnostics archive
    Button* deleteDESfireButton = nullptr;
    Button* contactSupportButton = nullptr;

    bool complete() const {
        return servicesTestButton && activeTraces && traceLabelButton && exportButton && deleteDESfireButton &&
               contactSupportButton;
    }
};

/// The maintenance sub-view, shown in the main window's container.
class MaintenanceView {
public:
    virtual ~MaintenanceView() = default;
    virtual const MaintenanceOutlets& outlets() = 0;
};

struct ServicesOutlets {
    Label* stepLabel = nullptr;
    ProgressBar* progressBar = nullptr;
    TextArea* resultText = nullptr;
    Button* resultSaveButton = nullptr;
    Button* quit = nullptr;

    bool complete() const { return stepLabel && progressBar && resultText && resultSaveButton && quit; }
};

/// The services test window.
class ServicesView : public DialogView {
public:
    virtual const ServicesOutlets& outlets() = 0;
    /// Takes the window off the screen without ending it (the test still runs behind it).
    virtual void hide() = 0;
};

}  // namespace qel::ui
