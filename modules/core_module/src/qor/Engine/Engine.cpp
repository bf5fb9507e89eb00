// placeholder, replaced by the engine
namespace QOR {}
