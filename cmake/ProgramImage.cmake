# add_program_image(<target> OUTPUT <image> MAP <map> LAYOUT <layout>
#                   DLL_COMMANDS <table> ENTRY <start routine> SOURCES <.cpp...>
#                   [DEFINES <NAME=value...>] [INCLUDES <dir...>])
# The handlers the layout binds are kept alive (-u) through the merge.
#
# Compiles image code (freestanding, no PIC, small code model, nothing that
# needs a table in const), merges the objects with ld -r, drops what the
# start routine and the layout's handlers do not reach, and runs imagebuild.
# The image file and its map are the outputs of <target>.

set(CUMULO_IMAGE_CXX_FLAGS
  -O2 -std=c++20 -finput-charset=UTF-8 -fexec-charset=GBK -ffreestanding -fno-pic -fno-pie -mcmodel=small -fno-common
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fcf-protection=none -fno-jump-tables -fno-threadsafe-statics
  -nostdlib -ffunction-sections -fdata-sections -Wall -Wextra)
# Image code writes its texts in Chinese; -fexec-charset=GBK above stores them
# as GBK, and every image build checks that each one arrived so.
set(CUMULO_IMAGE_MERGE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/image_merge.ld)
set(CUMULO_GBK_LITERAL_CHECK ${CMAKE_CURRENT_LIST_DIR}/check_gbk_literals.py)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The handler routines a layout file binds ("on <event> <Routine>"), so the
# merge keeps them although no code calls them.
function(cumulo_layout_handlers layout out_var)
  file(STRINGS ${layout} lines REGEX "^[ \t]*on[ \t]")
  set(handlers)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "#.*$" "" line "${line}")
    string(REGEX MATCH "[A-Za-z_][A-Za-z0-9_]*[ \t]*$" handler "${line}")
    string(STRIP "${handler}" handler)
    if(handler)
      list(APPEND handlers ${handler})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES handlers)
  set(${out_var} ${handlers} PARENT_SCOPE)
endfunction()

# cumulo_image_objects(<out var> <object dir> SOURCES <.cpp...> [DEFINES ...] [INCLUDES ...])
# Compiles image code with the image flags; sets <out var> to the objects.
function(cumulo_image_objects out_var object_dir)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "SOURCES;DEFINES;INCLUDES")
  set(includes -I${PROJECT_SOURCE_DIR}/abi -I${PROJECT_SOURCE_DIR}/program/builtins -I${PROJECT_SOURCE_DIR}/image)
  foreach(dir IN LISTS ARG_INCLUDES)
    list(APPEND includes -I${dir})
  endforeach()
  set(defines)
  foreach(define IN LISTS ARG_DEFINES)
    list(APPEND defines -D${define})
  endforeach()
  set(objects)
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(source ${source} ABSOLUTE)
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${source})
    string(REGEX REPLACE "[/.]" "_" stem "${relative}")
    set(object ${object_dir}/${stem}.o)
    set(extra)
    # The mem* helpers must not be turned into calls of themselves.
    if(relative MATCHES "^program/builtins/mem")
      set(extra -fno-tree-loop-distribute-patterns)
    endif()
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${object_dir}
      COMMAND ${CMAKE_CXX_COMPILER} ${CUMULO_IMAGE_CXX_FLAGS} ${extra} ${includes} ${defines}
              -MD -MF ${object}.d -c ${source} -o ${object}
      DEPENDS ${source}
      DEPFILE ${object}.d
      COMMENT "Compiling image code ${relative}"
      COMMAND_EXPAND_LISTS
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(${out_var} ${objects} PARENT_SCOPE)
endfunction()

# cumulo_merge_image_objects(<merged .o> ENTRY <symbol> [KEEP <symbol...>] OBJECTS <.o...>)
# One relocatable object holding what the entry and the kept symbols reach.
function(cumulo_merge_image_objects merged)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "ENTRY" "KEEP;OBJECTS")
  set(keep)
  foreach(symbol IN LISTS ARG_KEEP)
    list(APPEND keep -u ${symbol})
  endforeach()
  add_custom_command(
    OUTPUT ${merged}
    COMMAND ${CMAKE_LINKER} -r --force-group-allocation -T ${CUMULO_IMAGE_MERGE_SCRIPT}
            --gc-sections -e ${ARG_ENTRY} ${keep} -o ${merged} ${ARG_OBJECTS}
    DEPENDS ${ARG_OBJECTS} ${CUMULO_IMAGE_MERGE_SCRIPT}
    COMMENT "Merging image code into ${merged}"
    COMMAND_EXPAND_LISTS
    VERBATIM)
endfunction()

function(add_program_image target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OUTPUT;MAP;LAYOUT;DLL_COMMANDS;ENTRY" "SOURCES;DEFINES;INCLUDES")
  foreach(required OUTPUT MAP LAYOUT DLL_COMMANDS ENTRY SOURCES)
    if(NOT ARG_${required})
      message(FATAL_ERROR "add_program_image(${target}): ${required} is required")
    endif()
  endforeach()

  cumulo_image_objects(objects ${CMAKE_CURRENT_BINARY_DIR}/${target}.objects
    SOURCES ${ARG_SOURCES} DEFINES ${ARG_DEFINES} INCLUDES ${ARG_INCLUDES})
  cumulo_layout_handlers(${ARG_LAYOUT} handlers)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARG_LAYOUT})
  set(merged ${CMAKE_CURRENT_BINARY_DIR}/${target}.merged.o)
  cumulo_merge_image_objects(${merged} ENTRY ${ARG_ENTRY} KEEP ${handlers} OBJECTS ${objects})

  get_filename_component(output_dir ${ARG_OUTPUT} DIRECTORY)
  add_custom_command(
    OUTPUT ${ARG_OUTPUT} ${ARG_MAP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND $<TARGET_FILE:imagebuild> --object ${merged} --layout ${ARG_LAYOUT}
            --dll-commands ${ARG_DLL_COMMANDS} --entry ${ARG_ENTRY} --output ${ARG_OUTPUT} --map ${ARG_MAP}
    DEPENDS ${merged} ${ARG_LAYOUT} ${ARG_DLL_COMMANDS} imagebuild
    COMMENT "Building program image ${ARG_OUTPUT}"
    VERBATIM)
  set(literal_check ${ARG_OUTPUT}.gbk-literals)
  set(headers)
  foreach(dir IN LISTS ARG_INCLUDES)
    file(GLOB dir_headers CONFIGURE_DEPENDS ${dir}/*.h)
    list(APPEND headers ${dir_headers})
  endforeach()
  add_custom_command(
    OUTPUT ${literal_check}
    COMMAND Python3::Interpreter ${CUMULO_GBK_LITERAL_CHECK} ${ARG_OUTPUT} ${literal_check} ${ARG_SOURCES} ${headers}
    DEPENDS ${ARG_OUTPUT} ${CUMULO_GBK_LITERAL_CHECK} ${ARG_SOURCES} ${headers}
    COMMENT "Checking the GBK texts of ${ARG_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT} ${ARG_MAP} ${literal_check})
endfunction()
