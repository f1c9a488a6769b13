# The DA engine: server objects, groups, items, caches, transactions, requests, the work
# thread and the client callbacks. Built on the address space (kv_da).
add_library(kv_da_engine STATIC
  ${CMAKE_CURRENT_LIST_DIR}/DaCache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaCallbacks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaClientSinks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaCreator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaEngineTrace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaGroup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaItem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaObjectRoot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaServerIO.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaStatistics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaTransaction.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DaV1Stream.cpp
)
target_link_libraries(kv_da_engine PUBLIC kv_da kv_trace kv_common kv_platform Threads::Threads)
if(WIN32)
  # IOPCDataCallback and its IID come from the widl set of the OPC IDL.
  target_link_libraries(kv_da_engine PUBLIC kv_opc)
endif()
