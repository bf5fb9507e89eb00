#pragma once

namespace QOR
{
    class Engine;

    // Access token for the operations only the framework may call (construction of engine objects,
    // binding them to their engine, their creation hooks, thread registration). Only the engine can
    // make one; everything else merely passes on the token it was given.
    class EngineKey
    {
    public:
        EngineKey(const EngineKey&) = default;
        EngineKey& operator=(const EngineKey&) = default;

    private:
        friend class Engine;
        EngineKey() = default;
    };
}
