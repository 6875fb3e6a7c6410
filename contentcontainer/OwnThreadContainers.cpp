#include "OwnThreadContainers.h"

#include "SQLiteConnection.h"

#include <boost/make_shared.hpp>

namespace CX {

class COwnThreadContainersPrivate {
public:
    FX::detail::OwnThreadConnections scope;
};

COwnThreadContainers::COwnThreadContainers() : d(boost::make_shared<COwnThreadContainersPrivate>()) {}

COwnThreadContainers::~COwnThreadContainers() {}

}  // namespace CX
