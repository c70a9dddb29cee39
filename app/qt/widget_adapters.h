#pragma once
#include <memory>
#include <utility>
#include <vector>

#include "app/views/widgets.h"

namespace qel::qt {

/// The adapters a Qt view hands its controller as outlets. They live as long as the view; the Qt
/// widgets they wrap belong to the view's layout.
class WidgetAdapters {
public:
    /// Wraps `widget` in a new `Adapter` kept here, and returns it.
    template <typename Adapter, typename QtWidget>
    Adapter* adopt(QtWidget* widget) {
        auto adapter = std::make_unique<Adapter>(widget);
        Adapter* raw = adapter.get();
        adapters_.push_back(std::move(adapter));
        return raw;
    }

private:
    std::vector<std::unique_ptr<ui::Widget>> adapters_;
};

}  // namespace qel::qt
