# merivast_reproducible_jar(<target> JAR <path> SOURCES <java files...> [CLASSPATH <jars...>])
#
# Compiles Java 8 bytecode with this machine's JDK and packs the classes into a
# jar that two builds of one commit give byte for byte: zip puts it together
# rather than the JDK's jar tool (whose META-INF entries carry the time of the
# build), with the entries in name order, no extra fields, and every entry
# dated SOURCE_DATE_EPOCH (scripts/build takes it from the commit; 1 January
# 1980 without it). A file holding that time is a dependency, so a new time
# rebuilds the jar. <target> builds with ALL.
find_program(JAVAC javac REQUIRED)
find_program(ZIP zip REQUIRED)

function(merivast_reproducible_jar target)
  cmake_parse_arguments(J "" "JAR" "SOURCES;CLASSPATH" ${ARGN})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch 315532800)
  endif()
  set(epoch_file ${CMAKE_CURRENT_BINARY_DIR}/${target}-epoch.txt)
  file(CONFIGURE OUTPUT ${epoch_file} CONTENT "${epoch}\n")
  set(classes ${CMAKE_CURRENT_BINARY_DIR}/${target}-classes)
  set(classpath_option)
  if(J_CLASSPATH)
    string(REPLACE ";" ":" classpath "${J_CLASSPATH}")
    set(classpath_option -cp ${classpath})
  endif()
  add_custom_command(
    OUTPUT ${J_JAR}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${classes} ${J_JAR}
    COMMAND ${JAVAC} --release 8 -nowarn -encoding UTF-8 ${classpath_option} -d ${classes} ${J_SOURCES}
    COMMAND sh -c [[cd "$1" && find . -type f | cut -c3- | LC_ALL=C sort >"$3.entries" && xargs touch -d "@$2" <"$3.entries" && TZ=UTC "$4" -X -D -q "$3" -@ <"$3.entries"]]
            sh ${classes} ${epoch} ${J_JAR} ${ZIP}
    DEPENDS ${J_SOURCES} ${epoch_file}
    COMMENT "Building ${J_JAR}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${J_JAR})
endfunction()
