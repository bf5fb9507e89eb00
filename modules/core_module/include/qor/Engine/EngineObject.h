#pragma once

#include "qor/Engine/EngineKey.h"

namespace QOR
{
    class Engine;

    // Root of everything the engine creates. The engine pointer is a non-owning back-pointer:
    // the engine owns its objects, never the other way round.
    class EngineObject
    {
    public:
        explicit EngineObject(EngineKey key);
        virtual ~EngineObject();

        EngineObject(const EngineObject&) = delete;
        EngineObject& operator=(const EngineObject&) = delete;

        // Runs once, right after the object has been bound to its engine.
        virtual void OnCreated(EngineKey key);

        void SetEngine(EngineKey key, Engine* engine);
        Engine* GetEngine() const;

    private:
        Engine* _engine = nullptr;
    };
}
