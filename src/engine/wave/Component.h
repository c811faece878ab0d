#pragma once

namespace tessel::wave {

class Environment;

/// Anything that lives in an environment: graph nodes, delay lines, smoothed controls.
class Component {
public:
    explicit Component(Environment* environment) noexcept : environment_(environment) {}

    Environment* environment() const noexcept { return environment_; }

protected:
    ~Component() = default;

private:
    Environment* environment_;
};

}  // namespace tessel::wave
