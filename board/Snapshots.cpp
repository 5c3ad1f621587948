// The five snapshot slots: Save copies the board into a slot, Restore puts a slot's picture back on
// the board, Save to file writes a slot's picture as an uncompressed BMP whatever the name's
// extension.

#include "app/MainForm.h"

#include "board/Bmp.h"
#include "board/BoardView.h"

#include <QLabel>
#include <QPixmap>

void TForm1::saveSlot(int slot) {
    slotPictures[slot] = board->snapshot();
    slotViews[slot]->setPixmap(QPixmap::fromImage(slotPictures[slot]));
}

void TForm1::restoreSlot(int slot) {
    board->replaceWith(slotPictures[slot]);
    Image2->update();
}

void TForm1::saveSlotToFile(int slot) {
    const QString path = dialogs_.chooseSaveFile(lastSaveName_);
    if (path.isEmpty())
        return;
    lastSaveName_ = path;
    writeBmpFile(path, slotPictures[slot]);
}
