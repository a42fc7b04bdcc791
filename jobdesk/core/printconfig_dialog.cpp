// The job-submit dialog: security level, remark, print or drop the job.
#include "printconfig.h"

#include <QDebug>
#include <QRadioButton>

void PrintConfig::showSubmitDialog()
{
    QRadioButton *const levelButtons[] = {ui.radioButton, ui.radioButton_1, ui.radioButton_2,
                                          ui.radioButton_3, ui.radioButton_4};
    for (QRadioButton *button : levelButtons)
        button->hide();

    ui.label_JobName->setText(JobLabel);

    const QStringList levels = SecLevel.isEmpty()
                                   ? QStringList()
                                   : SecLevel.split(QLatin1Char('|'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    qDebug() << "tSercret  :" << SecLevel;

    // Only five buttons: further levels are not offered.
    for (int i = 0; i < levels.size() && i < 5; ++i) {
        levelButtons[i]->setText(levels.at(i));
        levelButtons[i]->show();
        if (i == 0)
            levelButtons[i]->setChecked(true);
    }
    show();
}

void PrintConfig::onRadionBtnClicked()
{
    if (QRadioButton *button = qobject_cast<QRadioButton *>(sender()))
        SecLevel = button->text();
    qDebug() << SecLevel;
}

void PrintConfig::onBtnClicked()
{
    const QString name = sender() ? sender()->objectName() : QString();
    // While a job uploads its parts wait in a nested event loop that still
    // delivers clicks: a second print would send the job again, a cancel would
    // clear the job and remove its files under the running upload.
    if (m_uploading) {
        qDebug().noquote() << "upload running, button ignored:" << name;
        return;
    }
    // Without a job in the pipeline the job fields name an earlier job or a
    // refused try, whose files are not the dialog's to send or remove.
    if (m_pipelineJob.isEmpty()) {
        qDebug().noquote() << "no job in the pipeline, button ignored:" << name;
        return;
    }
    if (name == QLatin1String("pushButton_ok")) {
        Remark = ui.textEdit->toPlainText();
        // Still the offered list: the user kept the first level, selected at show time.
        if (SecLevel.split(QLatin1Char('|'), Qt::KeepEmptyParts, Qt::CaseSensitive).size() > 1)
            SecLevel = ui.radioButton->text();
        buildWaterMarkRequest();
        sendPrintJob();
        hide();
    } else if (name == QLatin1String("pushButton_cancel")) {
        clearStatus();
        hide();
    }
}
