#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace tessel {

/// A change event with a primary handler and a list of further handlers. Firing calls the primary
/// handler first, then the listed handlers from the last registered to the first. The event owns
/// its handlers: removing one destroys it, and the event's destructor destroys them all.
/// Registering allocates; firing never does. Not locked: fired and changed on one thread.
class NotifyEvent {
public:
    /// A polymorphic callback. `matches` tells whether this handler was made from the same target
    /// and function as the key, which is how handlers are found for removal.
    class Handler {
    public:
        virtual ~Handler() = default;
        virtual void notify(void* sender) = 0;
        virtual bool matches(const Handler& key) const = 0;
    };

    /// Calls a member function of a target object with the sender.
    template <typename T>
    class HandlerImpl final : public Handler {
    public:
        using Function = void (T::*)(void* sender);

        HandlerImpl(T* target, Function function) noexcept : target_(target), function_(function) {}

        void notify(void* sender) override { (target_->*function_)(sender); }

        bool matches(const Handler& key) const override {
            const auto* other = dynamic_cast<const HandlerImpl*>(&key);
            return other != nullptr && other->target_ == target_ && other->function_ == function_;
        }

    private:
        T* target_;
        Function function_;
    };

    /// Calls a function object with the sender. Such handlers never match a key: they leave only
    /// with their event.
    template <typename F>
    class HandlerImplFunc final : public Handler {
    public:
        explicit HandlerImplFunc(F function) : function_(std::move(function)) {}

        void notify(void* sender) override { function_(sender); }
        bool matches(const Handler&) const override { return false; }

    private:
        F function_;
    };

    NotifyEvent() = default;
    NotifyEvent(const NotifyEvent&) = delete;
    NotifyEvent& operator=(const NotifyEvent&) = delete;

    /// Replaces (and destroys) the primary handler; null clears it.
    void setPrimaryHandler(std::unique_ptr<Handler> handler) { primary_ = std::move(handler); }

    template <typename T>
    void setPrimaryHandler(T* target, void (T::*function)(void*)) {
        primary_ = std::make_unique<HandlerImpl<T>>(target, function);
    }

    /// Appends a handler to the list.
    void addHandler(std::unique_ptr<Handler> handler) {
        if (handler) handlers_.push_back(std::move(handler));
    }

    template <typename T>
    void addHandler(T* target, void (T::*function)(void*)) {
        handlers_.push_back(std::make_unique<HandlerImpl<T>>(target, function));
    }

    template <typename F>
    void addFunction(F function) {
        handlers_.push_back(std::make_unique<HandlerImplFunc<F>>(std::move(function)));
    }

    /// Destroys the last-registered listed handler that matches the key; nothing when none does.
    /// During fire() the handler is destroyed at once but its slot stays (empty) until the
    /// outermost fire() ends, so that the walk neither skips nor repeats a handler.
    void removeHandler(const Handler& key) {
        for (std::size_t i = handlers_.size(); i-- > 0;) {
            if (handlers_[i] && handlers_[i]->matches(key)) {
                if (firingDepth_ > 0) {
                    handlers_[i].reset();
                    hasEmptySlots_ = true;
                } else {
                    handlers_.erase(handlers_.begin() + static_cast<std::ptrdiff_t>(i));
                }
                return;
            }
        }
    }

    template <typename T>
    void removeHandler(T* target, void (T::*function)(void*)) {
        removeHandler(HandlerImpl<T>(target, function));
    }

    /// Calls the primary handler, then the listed handlers last registered first. A handler may
    /// remove handlers of this event while it runs (a removed handler not yet reached is not
    /// called); handlers added while it runs are first called by the next fire().
    void fire(void* sender) {
        ++firingDepth_;
        if (primary_) primary_->notify(sender);
        for (std::size_t i = handlers_.size(); i-- > 0;) {
            if (handlers_[i]) handlers_[i]->notify(sender);
        }
        if (--firingDepth_ == 0 && hasEmptySlots_) {
            std::erase(handlers_, nullptr);
            hasEmptySlots_ = false;
        }
    }

    bool empty() const noexcept { return !primary_ && handlerCount() == 0; }

    /// Listed handlers (the primary handler not counted).
    std::size_t handlerCount() const noexcept {
        std::size_t count = 0;
        for (const auto& handler : handlers_)
            count += handler ? 1 : 0;
        return count;
    }

private:
    std::unique_ptr<Handler> primary_;
    std::vector<std::unique_ptr<Handler>> handlers_;
    // Set while fire() runs (nested fires count), so removal leaves empty slots behind instead of
    // shifting the handlers the walk has not reached yet.
    std::uint32_t firingDepth_ = 0;
    bool hasEmptySlots_ = false;
};

}  // namespace tessel
