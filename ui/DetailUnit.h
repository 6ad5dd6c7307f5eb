#pragma once
#include <string>

#include "ui/Handles.h"
#include "ui/Window.h"

namespace moravel {

// The one form in which a project is entered (add mode) or changed (update
// mode). It changes the registry itself; its callers save when it closes
// with OK.
class TDetailForm final : public Window {
public:
    enum Control : int {
        Button1 = 100,          // "&Add" or "&Update"
        Button2,                // "&Cancel"
        ProjectNameEdit,
        SourceEdit,
        DestinationEdit,
        VersionBackupCheckBox,
        Button3,                // browse for the source
        Button4,                // browse for the destination
        Label1,
        Label2,
        Label3,
        ReplaceInUseCheckBox,
        QueueOnChangeCheckBox,
        RestartHolderCheckBox,  // exclusive with ReplaceInUseCheckBox
        ForceCloseCheckBox,     // only together with RestartHolderCheckBox
        TryWhenFreeCheckBox,
        AtRestartCheckBox,
        SetLabel,
        SetCombo,               // the set it is deployed with: an editable drop-down of the set names in use
        PutBackButton,          // "&Put back...": a version from its backups
    };
    static constexpr SIZE kDesignClient = {511, 281};

    TDetailForm();

    bool EditMode = false;
    void ShowProject(const std::string& name);

    void FormShow();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void ReplaceInUseCheckBoxClick();
    void RestartHolderCheckBoxClick();
    void PutBackButtonClick();

protected:
    LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void onShowModal() override;
    // The first field that can be typed in: the name, or in update mode,
    // where the name cannot change, the source. On a button, a typed letter
    // would act as a mnemonic and tick a box or close the dialog.
    HWND initialFocus() const override { return item(EditMode ? SourceEdit : ProjectNameEdit); }

private:
    // Shows why the input is refused, then puts the focus in the field it
    // is about, so that the user types the fix straight away.
    void refuse(const std::string& text, int field);
    // "Force close" means something only with "restart holder".
    void followRestartHolder();
    // Runs the file-open dialog; the picked path, or empty.
    std::string browse(int field, bool fileMustExist);

    UniqueFont font_;
    std::string openInitialDir_;  // the file-open dialog's starting folder
    std::string openFileName_;    // the name last picked in it
    bool shownOnce_ = false;
};

extern TDetailForm* DetailForm;

// The detail dialog, made at its first use and kept as the chooser is.
TDetailForm& detailForm();

// Why a name or path cannot be stored so that it loads back unchanged, or
// empty when it can.
std::string projectNameProblem(const std::string& name);
std::string setNameProblem(const std::string& name);
std::string pathProblem(const std::string& what, const std::string& path);

}  // namespace moravel
