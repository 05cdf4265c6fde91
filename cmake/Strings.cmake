# Compiles resources/strings.tsv into a constexpr table, so that a text asked for by an
# id that is not in the table fails the build instead of showing nothing at run time.
add_executable(tw_genstrings ${CMAKE_SOURCE_DIR}/tools/genstrings.cpp)
set_target_properties(tw_genstrings PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
set(TW_STRINGS_TSV ${CMAKE_SOURCE_DIR}/resources/strings.tsv)
set(TW_STRINGS_INC ${CMAKE_BINARY_DIR}/generated/tw_strings_table.inc)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${TW_STRINGS_INC}
  COMMAND tw_genstrings ${TW_STRINGS_TSV} ${TW_STRINGS_INC}
  DEPENDS tw_genstrings ${TW_STRINGS_TSV}
  COMMENT "Compiling the string table")
add_custom_target(tw_strings_gen DEPENDS ${TW_STRINGS_INC})
