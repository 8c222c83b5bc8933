# What every build of this tree shares (the product's and the fuzz targets'): the language level,
# Qt's generators and the client's compiled-in configuration (it reads no command line and no
# environment).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)

set(LECTERN_APP_SERVER_URL "http://127.0.0.1:8080/app-server/jsonrpc/" CACHE STRING "App-server JSON-RPC endpoint")
set(LECTERN_LIVE_URL "ws://127.0.0.1:8081/live" CACHE STRING "Live relay WebSocket endpoint")
set(LECTERN_APP_ID "1400001234" CACHE STRING "Live-video service application id")
set(LECTERN_ACCOUNT_TYPE "8848" CACHE STRING "Live-video service account type")
# The client's version, reported with every call as "rided4a_win_<version>" and compared with what
# the server published; the client package (scripts/package.sh) carries the same version.
set(LECTERN_CLIENT_VERSION "${PROJECT_VERSION}" CACHE STRING "Client version (x.y...)")
