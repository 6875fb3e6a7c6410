// The data of one CX::CContentContainer: its file name and, while open, its
// index database. The container is open exactly when `database` is set.
#pragma once

#include "ContentContainerDatabase.h"

#include <string>

namespace CX {

class CContentContainerPrivate {
public:
    std::string databaseFileName;           // absolute; empty until SetName
    CContentContainerDatabasePtr database;  // empty while closed
};

}  // namespace CX
