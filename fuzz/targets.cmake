# The fuzz targets: fuzz_<name>.cpp wraps one parser. For each, the libraries it links (in the
# clang build), sources of the tests it takes in (from the top of the tree), and how many
# generated inputs its test runs after replaying corpus/<name>; the counts keep each test to a
# few seconds.
set(LECTERN_FUZZ_TARGETS page_file command_message app_answer relay relay_request download_headers byte_range
  jsonrpc)

set(fuzz_page_file_LIBS lectern_whiteboard)
# The reader page files had before, which the page reader must agree with.
set(fuzz_page_file_SOURCES tests/client/whiteboard/TreeReader.cpp)
set(fuzz_page_file_RUNS 500)
set(fuzz_command_message_LIBS lectern_room)
set(fuzz_command_message_RUNS 1000)
set(fuzz_app_answer_LIBS lectern_remote)
set(fuzz_app_answer_RUNS 10000)
set(fuzz_relay_LIBS lectern_ilive)
set(fuzz_relay_RUNS 20000)
set(fuzz_relay_request_LIBS lectern_protocol)
set(fuzz_relay_request_RUNS 20000)
set(fuzz_download_headers_LIBS lectern_updater)
set(fuzz_download_headers_RUNS 20000)
set(fuzz_byte_range_LIBS lectern_appserver)
set(fuzz_byte_range_RUNS 100000)
set(fuzz_jsonrpc_LIBS lectern_appserver)
set(fuzz_jsonrpc_RUNS 2000)
