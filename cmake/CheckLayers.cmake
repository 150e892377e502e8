# Fails when a folder includes a header from a folder it may not use. The layers stack:
#   app/  server/                 on top: the window, and the server without one
#   engine/                       one running copy without widgets (Qt Core and Network)
#   session/                      the link's rules, over the protocol and the MIDI rules
#   admission/                    who may connect to the server, over the protocol
#   protocol/  rtpmidi/  midi/  terminal/   side by side, none including another
#   discovery/                    DNS-SD through avahi, beside them, on Qt and avahi alone
#   platform/                     at the bottom, the services that stand in for the system's
# The protocol, RTP-MIDI, the session and admission also stay free of Qt, so they run bare on
# a fake clock.
# Run as a script: cmake -DSOURCE_DIR=<top> -P CheckLayers.cmake
cmake_minimum_required(VERSION 3.25)
set(allowed_platform platform)
set(allowed_protocol protocol platform)
set(allowed_rtpmidi rtpmidi platform)
set(allowed_midi midi platform)
set(allowed_terminal terminal platform)
set(allowed_session session protocol midi platform)
set(allowed_admission admission protocol platform)
set(allowed_discovery discovery)
set(allowed_engine engine session admission protocol rtpmidi midi discovery platform)
set(allowed_app app engine session admission protocol rtpmidi midi terminal discovery platform)
set(allowed_server server engine session admission protocol rtpmidi midi discovery platform)
set(layered_folders platform protocol rtpmidi midi terminal session admission discovery engine app server)

set(violations "")
foreach(folder IN LISTS layered_folders)
  file(GLOB sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(line IN LISTS includes)
      file(RELATIVE_PATH shown "${SOURCE_DIR}" "${source}")
      if(line MATCHES "#[ \t]*include[ \t]*\"([a-z]+)/")
        if(NOT CMAKE_MATCH_1 IN_LIST allowed_${folder})
          string(APPEND violations "  ${shown}: ${line}\n")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*<Q" AND folder MATCHES "^(protocol|rtpmidi|session|admission)$")
        string(APPEND violations "  ${shown}: ${line} (${folder}/ stays free of Qt)\n")
      elseif(line MATCHES "#[ \t]*include[ \t]*<(QtWidgets/|QtGui/)?(QWidget|QApplication|QMainWindow|QDialog|QMessageBox|QLabel|QPushButton|QComboBox|QLineEdit|QCheckBox|QAction|QMenu|QGuiApplication|QScreen|QFont|QPainter)[ >]"
             AND folder MATCHES "^(engine|server)$")
        string(APPEND violations "  ${shown}: ${line} (${folder}/ uses no widgets)\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes against the layering (see docs/architecture.md):\n${violations}")
endif()
