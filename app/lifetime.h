#pragma once
#include <memory>
#include <utility>

namespace qel {

/// Lets a controller schedule delayed work on the main queue that is dropped once the controller is
/// gone (a dialog closed by the user before its delayed close ran).
class Lifetime {
public:
    /// Wraps `task` so that it runs only while this object lives.
    template <typename Task>
    auto guard(Task task) const {
        return [alive = std::weak_ptr<char>(token_), task = std::move(task)](auto&&... args) mutable {
            if (alive.lock()) task(std::forward<decltype(args)>(args)...);
        };
    }

private:
    std::shared_ptr<char> token_ = std::make_shared<char>(0);
};

}  // namespace qel
