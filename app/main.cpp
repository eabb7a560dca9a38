// kestcrm, the KestDB CRM desktop client: sets up the fonts and the working folder, then shows
// the main window, which opens the local store and logs in when it first appears.
#include <QApplication>
#include <cstdio>

#include "client_folder.h"
#include "client_form.h"
#include "local_store.h"
#include "shared/client_font.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationName("kestcrm");
    applyClientFont(app);

    QString error;
    if (!enterClientFolder(error)) {
        std::fprintf(stderr, "kestcrm: %s\n", qPrintable(error));
        return 1;
    }

    KestdbLocalStore store;
    TClientForm form(&store);
    form.showMaximized();
    return app.exec();
}
