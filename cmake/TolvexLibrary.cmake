# tolvex_library(NAME INCLUDE_ROOT DEP...): one static library made of every
# .cpp in the calling directory. A directory that has no sources yet still
# yields a (empty) library, so targets that link it keep building.
function(tolvex_library name include_root)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    set(placeholder ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${placeholder} "// no sources yet\n")
    set(sources ${placeholder})
  endif()
  add_library(${name} STATIC)
  target_sources(${name} PRIVATE ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/${include_root})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()
