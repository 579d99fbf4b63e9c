# The distribution folder an administrator takes to a server: dist/ holds the
# installer, the two cabinet archives it unpacks beside it and the manual pages.
#   VLProDB.CAB  velloc, the pgp adapter, README.TXT, the manual pages, the systemd
#                units velloc.socket and velloc.service and the template tree
#                Brannic/Templates/... (MSZIP)
#   Samples.cab  the sample site's pages and style sheet (MSZIP)
# Both are made with gcab run inside a staging folder, so the stored names are relative.

find_program(GCAB_PROGRAM gcab)
if(NOT GCAB_PROGRAM)
  message(FATAL_ERROR "gcab is needed to build the distribution (Debian package gcab)")
endif()

set(DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(DIST_STAGE ${CMAKE_BINARY_DIR}/dist-stage)
set(DIST_TEMPLATE_ROOT ${CMAKE_SOURCE_DIR}/samples/templates)
set(DIST_SITE_ROOT ${CMAKE_SOURCE_DIR}/samples/site)
set(DIST_README ${CMAKE_SOURCE_DIR}/packaging/README.TXT)
set(DIST_UNITS ${CMAKE_SOURCE_DIR}/packaging/velloc.socket
  ${CMAKE_SOURCE_DIR}/packaging/velloc.service
  ${CMAKE_SOURCE_DIR}/packaging/velloc-purge.service
  ${CMAKE_SOURCE_DIR}/packaging/velloc-purge.timer
  ${CMAKE_SOURCE_DIR}/packaging/velloc-deliver.service
  ${CMAKE_SOURCE_DIR}/packaging/velloc-deliver.timer)

file(GLOB_RECURSE DIST_TEMPLATES CONFIGURE_DEPENDS RELATIVE ${DIST_TEMPLATE_ROOT}
  ${DIST_TEMPLATE_ROOT}/*)
file(GLOB DIST_SITE_FILES CONFIGURE_DEPENDS RELATIVE ${DIST_SITE_ROOT} ${DIST_SITE_ROOT}/*)
file(GLOB DIST_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.8)
list(SORT DIST_TEMPLATES)
list(SORT DIST_SITE_FILES)
list(SORT DIST_MAN_PAGES)

# The installer creates only these folders in VLPro and none in Samples; a file
# anywhere else would abort its extraction, so it is refused here.
set(DIST_TEMPLATE_FOLDERS Brannic Brannic/Templates Brannic/Templates/Mailer
  Brannic/Templates/SendFile)
string(JOIN ", " allowed_folders ${DIST_TEMPLATE_FOLDERS})
foreach(template ${DIST_TEMPLATES})
  get_filename_component(folder ${template} DIRECTORY)
  if(NOT folder IN_LIST DIST_TEMPLATE_FOLDERS)
    message(FATAL_ERROR "samples/templates/${template}: the installer creates no folder "
      "'${folder}'; templates belong in ${allowed_folders}")
  endif()
endforeach()
foreach(page ${DIST_SITE_FILES})
  if(IS_DIRECTORY ${DIST_SITE_ROOT}/${page})
    message(FATAL_ERROR "samples/site/${page}: Samples.cab holds files only, no folders")
  endif()
endforeach()

# Programs go in without symbols: each block the installer writes costs it a pause.
if(CMAKE_STRIP)
  set(DIST_COPY_PROGRAM ${CMAKE_STRIP} -o)
else()
  set(DIST_COPY_PROGRAM ${CMAKE_COMMAND} -E copy)
endif()

set(main_stage ${DIST_STAGE}/VLProDB)
set(main_names velloc pgp README.TXT)
set(main_sources ${DIST_README} ${DIST_MAN_PAGES} ${DIST_UNITS})
set(stage_commands)
foreach(unit ${DIST_UNITS})
  get_filename_component(name ${unit} NAME)
  list(APPEND stage_commands COMMAND ${CMAKE_COMMAND} -E copy ${unit} ${main_stage}/${name})
  list(APPEND main_names ${name})
endforeach()
foreach(folder ${DIST_TEMPLATE_FOLDERS})
  list(APPEND stage_commands COMMAND ${CMAKE_COMMAND} -E make_directory ${main_stage}/${folder})
endforeach()
foreach(template ${DIST_TEMPLATES})
  list(APPEND stage_commands COMMAND ${CMAKE_COMMAND} -E copy ${DIST_TEMPLATE_ROOT}/${template}
    ${main_stage}/${template})
  list(APPEND main_names ${template})
  list(APPEND main_sources ${DIST_TEMPLATE_ROOT}/${template})
endforeach()
foreach(page ${DIST_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  list(APPEND stage_commands COMMAND ${CMAKE_COMMAND} -E copy ${page} ${main_stage}/${name})
  list(APPEND main_names ${name})
endforeach()

add_custom_command(OUTPUT ${DIST_DIR}/VLProDB.CAB
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${main_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${main_stage} ${DIST_DIR}
  ${stage_commands}
  COMMAND ${DIST_COPY_PROGRAM} ${main_stage}/velloc $<TARGET_FILE:velloc>
  COMMAND ${DIST_COPY_PROGRAM} ${main_stage}/pgp $<TARGET_FILE:pgp>
  COMMAND ${CMAKE_COMMAND} -E copy ${DIST_README} ${main_stage}/README.TXT
  COMMAND ${CMAKE_COMMAND} -E rm -f ${DIST_DIR}/VLProDB.CAB
  COMMAND ${CMAKE_COMMAND} -E chdir ${main_stage}
    ${GCAB_PROGRAM} -c -z ${DIST_DIR}/VLProDB.CAB ${main_names}
  DEPENDS velloc pgp $<TARGET_FILE:velloc> $<TARGET_FILE:pgp> ${main_sources}
  COMMENT "Packing VLProDB.CAB"
  VERBATIM)

set(samples_stage ${DIST_STAGE}/Samples)
set(samples_commands)
set(samples_sources)
foreach(page ${DIST_SITE_FILES})
  list(APPEND samples_commands COMMAND ${CMAKE_COMMAND} -E copy ${DIST_SITE_ROOT}/${page}
    ${samples_stage}/${page})
  list(APPEND samples_sources ${DIST_SITE_ROOT}/${page})
endforeach()
add_custom_command(OUTPUT ${DIST_DIR}/Samples.cab
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${samples_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${samples_stage} ${DIST_DIR}
  ${samples_commands}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${DIST_DIR}/Samples.cab
  COMMAND ${CMAKE_COMMAND} -E chdir ${samples_stage}
    ${GCAB_PROGRAM} -c -z ${DIST_DIR}/Samples.cab ${DIST_SITE_FILES}
  DEPENDS ${samples_sources}
  COMMENT "Packing Samples.cab"
  VERBATIM)

set(dist_outputs ${DIST_DIR}/VLProDB.CAB ${DIST_DIR}/Samples.cab ${DIST_DIR}/installer)
add_custom_command(OUTPUT ${DIST_DIR}/installer
  COMMAND ${CMAKE_COMMAND} -E make_directory ${DIST_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:installer> ${DIST_DIR}/installer
  DEPENDS installer $<TARGET_FILE:installer>
  COMMENT "Copying the installer into dist"
  VERBATIM)
foreach(page ${DIST_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${DIST_DIR}/man/${name}
    COMMAND ${CMAKE_COMMAND} -E copy ${page} ${DIST_DIR}/man/${name}
    DEPENDS ${page}
    VERBATIM)
  list(APPEND dist_outputs ${DIST_DIR}/man/${name})
endforeach()

add_custom_target(distribution ALL DEPENDS ${dist_outputs})
