// TesselServer: the application, the main window and the about box, then the event loop.

#include "app/frmabout.h"
#include "app/frmclientserver.h"
#include "engine/globals.h"
#include "platform/application.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  TFormServerMain window(IniFileName());
  TFormAbout about;
  window.SetAboutBox(&about);
  window.show();
  return application.exec();
}
