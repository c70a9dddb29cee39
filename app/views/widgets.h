#pragma once
// Toolkit-neutral widgets. The controllers of Kartello drive these; the Qt views implement them
// and tests implement them as plain recorders. A widget holds no logic: it shows what it is told
// and hands user actions to the handler the controller installed.
//
// Every call is made on the main thread. Handlers are called on the main thread too, only for what
// the user did (never for a change the controller made itself).
#include <cstdint>
#include <functional>
#include <string>

namespace qel::ui {

/// A colour as red, green, blue on 0 to 255.
struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

/// A text colour: either an RGB value, or a named colour asset of the application ("medecin",
/// "Fpharma", "empty", ...) whose value belongs to the view's resources.
struct Colour {
    std::string name;  ///< empty for an RGB colour
    Rgb rgb;

    static Colour named(std::string assetName) { return Colour{std::move(assetName), {}}; }
    static Colour fromRgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) { return Colour{{}, Rgb{r, g, b}}; }
    bool isNamed() const { return !name.empty(); }
    friend bool operator==(const Colour&, const Colour&) = default;
};

/// The colours the windows use.
namespace colours {
inline const Colour lightGrey = Colour::fromRgb(205, 205, 205);
inline const Colour blue = Colour::fromRgb(45, 127, 193);
inline const Colour darkGrey = Colour::fromRgb(74, 74, 74);
inline const Colour red = Colour::fromRgb(255, 0, 0);
/// Button title under the pointer.
inline const Colour hover = Colour::fromRgb(86, 194, 228);
/// Button title otherwise.
inline const Colour normalButtonTitle = Colour::fromRgb(33, 57, 75);
/// Success messages of the PIN dialogs.
inline const Colour green = Colour::fromRgb(119, 195, 68);
}  // namespace colours

/// What every control can do.
class Widget {
public:
    virtual ~Widget() = default;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
    virtual void setHidden(bool hidden) = 0;
    virtual bool isHidden() const = 0;
    /// Empty text removes the tooltip.
    virtual void setTooltip(const std::string& text) = 0;
};

/// A line of text.
class Label : public Widget {
public:
    virtual void setText(const std::string& text) = 0;
    /// The text as shown.
    virtual std::string text() const = 0;
    virtual void setTextColour(const Colour& colour) = 0;
    /// True when `text`, drawn in the label's font, is wider than the label (it would be cut).
    virtual bool textWiderThanLabel(const std::string& text) const = 0;
};

/// A push button, possibly showing a picture instead of (or beside) its title.
class Button : public Widget {
public:
    virtual void setTitle(const std::string& title) = 0;
    virtual std::string title() const = 0;
    virtual void setTitleColour(const Colour& colour) = 0;
    /// Shows the picture of that name ("lock", "unlock", ...).
    virtual void setImage(const std::string& pictureName) = 0;
    /// Called on every click of the user on an enabled button.
    virtual void setClickHandler(std::function<void()> handler) = 0;
};

/// A picture.
class ImageView : public Widget {
public:
    /// Shows the picture of that name ("top-card-medecin", ...).
    virtual void setImage(const std::string& pictureName) = 0;
};

/// An editable single line of text.
class TextField : public Widget {
public:
    virtual void setText(const std::string& text) = 0;
    virtual std::string text() const = 0;
    /// Called after every change the user makes to the text (each keystroke, paste, deletion); the
    /// handler may replace the text (keystroke filters) without being called again for that.
    virtual void setEditHandler(std::function<void()> handler) = 0;
};

/// A text field whose characters are not shown (PIN and PUK). The view must not log, copy or keep
/// its text anywhere else.
class SecureField : public TextField {};

/// A pop-up list (the reader list). Each entry shows a title, for the eye only and free to change,
/// and carries a key, fixed when the entry is added: the program finds entries by their key.
class PopUpList : public Widget {
public:
    virtual void removeAllItems() = 0;
    virtual void addItem(const std::string& title, const std::string& key) = 0;
    virtual int itemCount() const = 0;
    /// Empty text for a position outside the list.
    virtual std::string itemTitle(int index) const = 0;
    /// Empty text for a position outside the list.
    virtual std::string itemKey(int index) const = 0;
    /// Ignored for a position outside the list; the key stays.
    virtual void setItemTitle(int index, const std::string& title) = 0;
    /// Selects the entry without calling the selection handler; −1 or a position outside the list
    /// clears the selection.
    virtual void selectItem(int index) = 0;
    /// −1 when nothing is selected.
    virtual int selectedIndex() const = 0;
    /// The selected entry's key; empty when nothing is selected.
    virtual std::string selectedKey() const = 0;
    /// Called when the user picks an entry (also when it is the one already selected).
    virtual void setSelectionHandler(std::function<void()> handler) = 0;
};

/// A spinning progress indicator.
class ProgressIndicator : public Widget {
public:
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
};

/// A group of controls shown or hidden together.
class Area : public Widget {};

/// A determinate progress bar, 0 to 100.
class ProgressBar : public Widget {
public:
    /// Values outside 0 to 100 are clamped by the view.
    virtual void setValue(int percent) = 0;
    virtual int value() const = 0;
};

/// An item of the application menu.
class MenuItem : public Widget {
public:
    virtual void setTriggerHandler(std::function<void()> handler) = 0;
};

}  // namespace qel::ui
