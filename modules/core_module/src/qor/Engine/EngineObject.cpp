#include "qor/Engine/EngineObject.h"

namespace QOR
{
    EngineObject::EngineObject(EngineKey)
    {
    }

    EngineObject::~EngineObject() = default;

    void EngineObject::OnCreated(EngineKey)
    {
    }

    void EngineObject::SetEngine(EngineKey, Engine* engine)
    {
        _engine = engine;
    }

    Engine* EngineObject::GetEngine() const
    {
        return _engine;
    }
}
