# The project's optional components and what each needs, decided on every configure. Included by
# the root CMakeLists.txt before any target is defined; sets ORVIK_BUILD_ONNX, _TOOLS, _PYTHON,
# _TESTS, _SELFCHECK, _BENCH and ORVIK_BROWSER_TESTS to ON or OFF, and finds the packages of
# those that are on.

# Optional components, each asked for with AUTO, ON or OFF. AUTO builds the component when what
# it needs is installed, looked for again on every configure, and otherwise leaves it out with a
# one-line notice; ON fails the configure when something is missing; OFF leaves it out. The cache
# keeps what was asked for; a variable of the same name holds what is built, ON or OFF.
if(PROJECT_IS_TOP_LEVEL)
  set(orvik_developer_default AUTO)
else()
  set(orvik_developer_default OFF)
endif()

# Declares the component `name`, asked for with AUTO, ON or OFF, `default` unless set.
function(orvik_component name default description)
  set(${name} ${default} CACHE STRING "${description}: AUTO, ON or OFF")
  set_property(CACHE ${name} PROPERTY STRINGS AUTO ON OFF)
endfunction()

# Sets `result` to whether the component `name` is asked for, with AUTO or ON: by the cache, or
# by a variable that a project including this one set.
function(orvik_component_asked name result)
  string(TOUPPER "${${name}}" asked)
  if(asked STREQUAL "AUTO" OR "${${name}}")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Decides whether the component `name` is built. The arguments after the name are what it needs
# and is missing: with none, the component is built if asked for; with some, AUTO leaves it out
# with a notice that names them, and ON fails the configure.
function(orvik_decide_component name)
  orvik_component_asked(${name} asked)
  string(TOUPPER "${${name}}" value)
  if(NOT asked)
    set(${name} OFF PARENT_SCOPE)
    return()
  endif()
  if(NOT ARGN)
    set(${name} ON PARENT_SCOPE)
    return()
  endif()
  list(POP_BACK ARGN last)
  set(needs "${last}")
  if(ARGN)
    list(JOIN ARGN ", " first)
    set(needs "${first} and ${last}")
  endif()
  if(value STREQUAL "AUTO")
    message(STATUS "${name} is off: it needs ${needs}")
    set(${name} OFF PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${name} is ON but it needs ${needs}: run "
                        "scripts/install-dependencies.sh, or configure with -D${name}=AUTO")
  endif()
endfunction()

orvik_component(ORVIK_BUILD_ONNX AUTO
                "Build the ONNX importer, orvik_compiler::onnx (needs ONNX and protobuf)")
orvik_component(ORVIK_BUILD_TOOLS ${orvik_developer_default}
                "Build the orvik command-line tool (needs CLI11, nlohmann/json and ONNX)")
orvik_component(ORVIK_BUILD_PYTHON ${orvik_developer_default}
                "Build the orvik_compiler Python module (needs pybind11 and NumPy)")
orvik_component(ORVIK_BUILD_TESTS ${orvik_developer_default} "Build the test suite (needs Catch2)")
orvik_component(ORVIK_BUILD_SELFCHECK ${orvik_developer_default}
                "Build the orvik_selfcheck executable (needs Catch2)")
orvik_component(ORVIK_BUILD_BENCH ${orvik_developer_default}
                "Build the orvik_bench benchmark (needs Google Benchmark)")
orvik_component(ORVIK_BROWSER_TESTS ${orvik_developer_default}
                "Test the schedule report in headless Chromium (needs node, chromium and npm ci)")

set(missing "")
orvik_component_asked(ORVIK_BUILD_ONNX asked)
if(asked)
  # Debian's ONNX package refers to protobuf's targets, so protobuf comes first.
  find_package(Protobuf QUIET)
  if(Protobuf_FOUND)
    find_package(ONNX 1.12 CONFIG QUIET)
  endif()
  if(NOT Protobuf_FOUND OR NOT ONNX_FOUND)
    set(missing "ONNX 1.12 and protobuf (Debian's libonnx-dev and libprotobuf-dev)")
  endif()
endif()
orvik_decide_component(ORVIK_BUILD_ONNX ${missing})

orvik_component_asked(ORVIK_BUILD_TOOLS tools_asked)
orvik_component_asked(ORVIK_BUILD_PYTHON python_asked)
if(tools_asked OR python_asked)
  find_package(nlohmann_json 3 CONFIG QUIET)
endif()
set(missing_json "")
if(NOT nlohmann_json_FOUND)
  set(missing_json "nlohmann/json 3 (Debian's nlohmann-json3-dev)")
endif()
set(missing_onnx "")
if(NOT ORVIK_BUILD_ONNX)
  set(missing_onnx "the ONNX importer (ORVIK_BUILD_ONNX)")
endif()

set(missing ${missing_json} ${missing_onnx})
if(tools_asked)
  find_package(CLI11 2 CONFIG QUIET)
  if(NOT CLI11_FOUND)
    list(PREPEND missing "CLI11 2 (Debian's libcli11-dev)")
  endif()
endif()
orvik_decide_component(ORVIK_BUILD_TOOLS ${missing})

# A module built with sanitizers imports only with their runtime preloaded into the interpreter,
# so sanitizer builds leave the module out. pybind11 takes the interpreter found here: configure
# with the one that has NumPy, -DPython3_EXECUTABLE=/usr/bin/python3 on Debian.
set(missing ${missing_json} ${missing_onnx})
if(python_asked AND ORVIK_SANITIZERS)
  list(APPEND missing "a build without sanitizers (ORVIK_SANITIZERS is ${ORVIK_SANITIZERS})")
elseif(python_asked)
  find_package(Python3 3.8 QUIET COMPONENTS Interpreter Development.Module NumPy)
  # Looking for pybind11's package without an interpreter fails the configure, so its header
  # tells whether it is there.
  find_path(pybind11_headers pybind11/pybind11.h NO_CACHE)
  if(Python3_FOUND AND pybind11_headers)
    find_package(pybind11 2.10 CONFIG QUIET)
  endif()
  set(python_needs "")
  if(NOT pybind11_headers OR (Python3_FOUND AND NOT pybind11_FOUND))
    list(APPEND python_needs "pybind11 2.10")
  endif()
  if(NOT Python3_Interpreter_FOUND)
    list(APPEND python_needs "Python 3.8 or later")
  else()
    if(NOT Python3_NumPy_FOUND)
      list(APPEND python_needs "NumPy")
    endif()
    if(NOT Python3_Development.Module_FOUND)
      list(APPEND python_needs "Python's headers")
    endif()
  endif()
  if(python_needs)
    list(JOIN python_needs " and " python_needs)
    if(NOT Python3_Interpreter_FOUND)
      list(APPEND missing "${python_needs}")
    elseif(NOT Python3_NumPy_FOUND)
      set(hint "set Python3_EXECUTABLE to an interpreter that has NumPy")
      list(APPEND missing "${python_needs} for ${Python3_EXECUTABLE} (${hint})")
    else()
      list(APPEND missing "${python_needs} for ${Python3_EXECUTABLE}")
    endif()
  endif()
endif()
orvik_decide_component(ORVIK_BUILD_PYTHON ${missing})

set(missing "")
orvik_component_asked(ORVIK_BUILD_TESTS tests_asked)
orvik_component_asked(ORVIK_BUILD_SELFCHECK selfcheck_asked)
if(tests_asked OR selfcheck_asked)
  find_package(Catch2 2.13 QUIET)
  if(NOT Catch2_FOUND)
    set(missing "Catch2 2.13 (Debian's catch2)")
  endif()
endif()
orvik_decide_component(ORVIK_BUILD_TESTS ${missing})
orvik_decide_component(ORVIK_BUILD_SELFCHECK ${missing})

set(missing "")
orvik_component_asked(ORVIK_BUILD_BENCH asked)
if(asked)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    set(missing "Google Benchmark (Debian's libbenchmark-dev)")
  endif()
endif()
orvik_decide_component(ORVIK_BUILD_BENCH ${missing})

# The schedule report in headless Chromium, driven by playwright-core from npm under node's test
# runner.
set(missing "")
orvik_component_asked(ORVIK_BROWSER_TESTS asked)
if(asked)
  if(NOT ORVIK_BUILD_TESTS)
    list(APPEND missing "the test suite (ORVIK_BUILD_TESTS)")
  endif()
  if(NOT ORVIK_BUILD_TOOLS)
    list(APPEND missing "the orvik tool (ORVIK_BUILD_TOOLS)")
  endif()
  find_program(ORVIK_NODE node)
  set(node_version 0)
  if(ORVIK_NODE)
    execute_process(COMMAND ${ORVIK_NODE} -p process.versions.node
                    OUTPUT_VARIABLE node_version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(node_version VERSION_LESS 18)
    list(APPEND missing "Node.js 18 or later (Debian's nodejs)")
  endif()
  find_program(ORVIK_CHROMIUM chromium)
  if(NOT ORVIK_CHROMIUM)
    list(APPEND missing "Chromium (Debian's chromium)")
  endif()
  if(NOT EXISTS ${PROJECT_SOURCE_DIR}/node_modules/playwright-core/package.json)
    list(APPEND missing "the npm packages of package-lock.json (npm ci)")
  endif()
endif()
orvik_decide_component(ORVIK_BROWSER_TESTS ${missing})
