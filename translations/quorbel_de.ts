<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>MainView</name>
    <message>
        <source>Maximum size</source>
        <translation>Maximale Größe</translation>
    </message>
    <message>
        <source>The largest size the image may grow to</source>
        <translation>Die größte Größe, auf die das Abbild wachsen darf</translation>
    </message>
    <message>
        <source>Size unit</source>
        <translation>Größeneinheit</translation>
    </message>
    <message>
        <source>Band size</source>
        <translation>Bandgröße</translation>
    </message>
    <message>
        <source>The size of each band file; 0 lets the tool choose when creating</source>
        <translation>Die Größe jeder Banddatei; bei 0 wählt das Werkzeug sie beim Erstellen</translation>
    </message>
    <message>
        <source>Band unit</source>
        <translation>Bandeinheit</translation>
    </message>
    <message>
        <source>File system</source>
        <translation>Dateisystem</translation>
    </message>
    <message>
        <source>Encryption</source>
        <translation>Verschlüsselung</translation>
    </message>
    <message>
        <source>Plain</source>
        <translation>Keine</translation>
    </message>
    <message>
        <source>AES-128</source>
        <translation>AES-128</translation>
    </message>
    <message>
        <source>AES-256</source>
        <translation>AES-256</translation>
    </message>
    <message>
        <source>Battery</source>
        <translation>Akku</translation>
    </message>
    <message>
        <source>Allow compacting while the computer runs on battery power</source>
        <translation>Kompaktieren auch erlauben, während der Computer mit Akku läuft</translation>
    </message>
    <message>
        <source>Create</source>
        <translation>Erstellen</translation>
    </message>
    <message>
        <source>Create a new sparse bundle with the settings above</source>
        <translation>Ein neues Sparse-Bundle mit den obigen Einstellungen erstellen</translation>
    </message>
    <message>
        <source>Resize</source>
        <translation>Größe ändern</translation>
    </message>
    <message>
        <source>Give a sparse bundle the maximum size above</source>
        <translation>Einem Sparse-Bundle die obige maximale Größe geben</translation>
    </message>
    <message>
        <source>Compact</source>
        <translation>Kompaktieren</translation>
    </message>
    <message>
        <source>Give back the space a sparse bundle no longer uses</source>
        <translation>Den Platz freigeben, den ein Sparse-Bundle nicht mehr nutzt</translation>
    </message>
    <message>
        <source>Change band size</source>
        <translation>Bandgröße ändern</translation>
    </message>
    <message>
        <source>Copy a sparse bundle into a new one with the band size above</source>
        <translation>Ein Sparse-Bundle in ein neues mit der obigen Bandgröße kopieren</translation>
    </message>
    <message>
        <source>Get info</source>
        <translation>Informationen</translation>
    </message>
    <message>
        <source>Show what the disk-image tool reports about a sparse bundle</source>
        <translation>Zeigen, was das Abbild-Werkzeug über ein Sparse-Bundle meldet</translation>
    </message>
    <message>
        <source>Change password</source>
        <translation>Passwort ändern</translation>
    </message>
    <message>
        <source>Give an encrypted sparse bundle a new password</source>
        <translation>Einem verschlüsselten Sparse-Bundle ein neues Passwort geben</translation>
    </message>
    <message>
        <source>Output</source>
        <translation>Ausgabe</translation>
    </message>
    <message>
        <source>Larger text</source>
        <translation>Größerer Text</translation>
    </message>
    <message>
        <source>Make the output text larger</source>
        <translation>Den Ausgabetext vergrößern</translation>
    </message>
    <message>
        <source>Smaller text</source>
        <translation>Kleinerer Text</translation>
    </message>
    <message>
        <source>Make the output text smaller</source>
        <translation>Den Ausgabetext verkleinern</translation>
    </message>
    <message>
        <source>Ready</source>
        <translation>Bereit</translation>
    </message>
    <message>
        <source>Progress</source>
        <translation>Fortschritt</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Stopp</translation>
    </message>
    <message>
        <source>Interrupt the running disk-image tool (as Ctrl-C does)</source>
        <translation>Das laufende Abbild-Werkzeug unterbrechen (wie Strg-C)</translation>
    </message>
    <message>
        <source>&amp;Maximum size</source>
        <translation>&amp;Maximale Größe</translation>
    </message>
    <message>
        <source>Size &amp;unit</source>
        <translation>Größen&amp;einheit</translation>
    </message>
    <message>
        <source>&amp;Band size</source>
        <translation>&amp;Bandgröße</translation>
    </message>
    <message>
        <source>Band u&amp;nit</source>
        <translation>Bandei&amp;nheit</translation>
    </message>
    <message>
        <source>&amp;File system</source>
        <translation>&amp;Dateisystem</translation>
    </message>
    <message>
        <source>&amp;Encryption</source>
        <translation>&amp;Verschlüsselung</translation>
    </message>
    <message>
        <source>B&amp;attery</source>
        <translation>Akk&amp;u</translation>
    </message>
    <message>
        <source>&amp;Create</source>
        <translation>E&amp;rstellen</translation>
    </message>
    <message>
        <source>&amp;Resize</source>
        <translation>Grö&amp;ße ändern</translation>
    </message>
    <message>
        <source>Com&amp;pact</source>
        <translation>&amp;Kompaktieren</translation>
    </message>
    <message>
        <source>Change ban&amp;d size</source>
        <translation>Bandgr&amp;öße ändern</translation>
    </message>
    <message>
        <source>&amp;Get info</source>
        <translation>&amp;Informationen</translation>
    </message>
    <message>
        <source>Change pass&amp;word</source>
        <translation>&amp;Passwort ändern</translation>
    </message>
    <message>
        <source>&amp;Output</source>
        <translation>Aus&amp;gabe</translation>
    </message>
    <message>
        <source>&amp;Larger text</source>
        <translation>Größerer &amp;Text</translation>
    </message>
    <message>
        <source>&amp;Smaller text</source>
        <translation>K&amp;leinerer Text</translation>
    </message>
    <message>
        <source>S&amp;top</source>
        <translation>&amp;Stopp</translation>
    </message>
</context>
<context>
    <name>PaneText</name>
    <message>
        <source>the disk-image tool ended with status %1</source>
        <translation>das Abbild-Werkzeug endete mit Status %1</translation>
    </message>
    <message>
        <source>Resize:
</source>
        <translation>Größe ändern:
</translation>
    </message>
    <message>
        <source>Compact:
</source>
        <translation>Kompaktieren:
</translation>
    </message>
    <message>
        <source>Change band size:
</source>
        <translation>Bandgröße ändern:
</translation>
    </message>
    <message>
        <source>Sparsebundle info:
</source>
        <translation>Sparse-Bundle-Informationen:
</translation>
    </message>
    <message>
        <source>Change password:
</source>
        <translation>Passwort ändern:
</translation>
    </message>
    <message>
        <source>Cancelled creation of sparse bundle.
</source>
        <translation>Erstellen des Sparse-Bundles abgebrochen.
</translation>
    </message>
    <message>
        <source>Cancelled change of password.
</source>
        <translation>Ändern des Passworts abgebrochen.
</translation>
    </message>
    <message>
        <source>Can&apos;t change band size for an encrypted sparse bundle.
</source>
        <translation>Die Bandgröße eines verschlüsselten Sparse-Bundles kann nicht geändert werden.
</translation>
    </message>
    <message>
        <source>If this failed, is your Mac running on battery?
If so, to compact the sparse bundle either tick the Battery checkbox or connect your Mac to mains power, and try again.
</source>
        <translation>Falls dies fehlgeschlagen ist: Läuft Ihr Mac mit Akku?
Dann kreuzen Sie zum Kompaktieren des Sparse-Bundles das Feld „Akku“ an oder schließen Sie Ihren Mac an das Stromnetz an und versuchen Sie es erneut.
</translation>
    </message>
</context>
<context>
    <name>Panels</name>
    <message>
        <source>Sparse bundles (*.sparsebundle)</source>
        <translation>Sparse-Bundles (*.sparsebundle)</translation>
    </message>
</context>
<context>
    <name>PasswordSheet</name>
    <message>
        <source>Password</source>
        <translation>Passwort</translation>
    </message>
    <message>
        <source>Type the password of the sparse bundle twice.</source>
        <translation>Geben Sie das Passwort des Sparse-Bundles zweimal ein.</translation>
    </message>
    <message>
        <source>Confirm password</source>
        <translation>Passwort bestätigen</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Set</source>
        <translation>Festlegen</translation>
    </message>
</context>
<context>
    <name>QFileDialog</name>
    <message>
        <source>Look in</source>
        <translation>Suchen in</translation>
    </message>
    <message>
        <source>Files of type</source>
        <translation>Dateien des Typs</translation>
    </message>
</context>
<context>
    <name>UpdateCheck</name>
    <message>
        <source>Update not checked</source>
        <translation>Nicht auf Updates geprüft</translation>
    </message>
    <message>
        <source>Checked for update</source>
        <translation>Auf Updates geprüft</translation>
    </message>
    <message>
        <source>An error occurred:</source>
        <translation>Ein Fehler ist aufgetreten:</translation>
    </message>
    <message>
        <source>Can&apos;t check for updates:
No app version string found.</source>
        <translation>Updates können nicht geprüft werden:
Keine Versionsangabe des Programms gefunden.</translation>
    </message>
    <message>
        <source>Error in update Property List.</source>
        <translation>Fehler in der Update-Liste.</translation>
    </message>
    <message>
        <source>Update Property List has no entries.</source>
        <translation>Die Update-Liste hat keine Einträge.</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>Ignorieren</translation>
    </message>
    <message>
        <source>Download</source>
        <translation>Herunterladen</translation>
    </message>
</context>
<context>
    <name>quorbel::AppDelegate</name>
    <message>
        <source>&amp;Quorbel</source>
        <translation>&amp;Quorbel</translation>
    </message>
    <message>
        <source>&amp;About Quorbel Sparse Bundle Utility</source>
        <translation>&amp;Über Quorbel Sparse Bundle Utility</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>&amp;View</source>
        <translation>&amp;Ansicht</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>Quorbel Sparse Bundle Utility &amp;Help</source>
        <translation>&amp;Hilfe zu Quorbel Sparse Bundle Utility</translation>
    </message>
    <message>
        <source>&amp;Support Page</source>
        <translation>&amp;Support-Seite</translation>
    </message>
    <message>
        <source>&amp;Updates Page</source>
        <translation>&amp;Update-Seite</translation>
    </message>
    <message>
        <source>The address could not be opened.</source>
        <translation>Die Adresse konnte nicht geöffnet werden.</translation>
    </message>
    <message>
        <source>No web browser took it. The address is:
%1</source>
        <translation>Kein Webbrowser hat sie übernommen. Die Adresse lautet:
%1</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>Creates, resizes, compacts and converts sparse bundle disk images.</source>
        <translation>Erstellt Sparse-Bundle-Abbilder, ändert ihre Größe, kompaktiert und wandelt sie um.</translation>
    </message>
    <message>
        <source>Free software under the MIT License.</source>
        <translation>Freie Software unter der MIT-Lizenz.</translation>
    </message>
    <message>
        <source>About %1</source>
        <translation>Über %1</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>quorbel::ChangeBandSizeOperation</name>
    <message>
        <source>%1 (%2 %3 bands)</source>
        <translation>%1 (%2-%3-Bänder)</translation>
    </message>
    <message>
        <source>%1 copy</source>
        <translation>%1 Kopie</translation>
    </message>
    <message>
        <source>Change band size</source>
        <translation>Bandgröße ändern</translation>
    </message>
    <message>
        <source>the sparse bundle is encrypted</source>
        <translation>das Sparse-Bundle ist verschlüsselt</translation>
    </message>
    <message>
        <source>the band size must be a whole number of 1 or more</source>
        <translation>die Bandgröße muss eine ganze Zahl ab 1 sein</translation>
    </message>
</context>
<context>
    <name>quorbel::ChangePasswordOperation</name>
    <message>
        <source>Change password</source>
        <translation>Passwort ändern</translation>
    </message>
</context>
<context>
    <name>quorbel::CompactOperation</name>
    <message>
        <source>Compact</source>
        <translation>Kompaktieren</translation>
    </message>
</context>
<context>
    <name>quorbel::CreateOperation</name>
    <message>
        <source>Create</source>
        <translation>Erstellen</translation>
    </message>
    <message>
        <source>the maximum size must be a number above 0</source>
        <translation>die maximale Größe muss eine Zahl über 0 sein</translation>
    </message>
    <message>
        <source>the band size must be a number of 0 or more</source>
        <translation>die Bandgröße muss eine Zahl ab 0 sein</translation>
    </message>
    <message>
        <source>no file system is chosen</source>
        <translation>kein Dateisystem gewählt</translation>
    </message>
</context>
<context>
    <name>quorbel::GetInfoOperation</name>
    <message>
        <source>Get info</source>
        <translation>Informationen</translation>
    </message>
    <message>
        <source>Get Info</source>
        <translation>Informationen</translation>
    </message>
</context>
<context>
    <name>quorbel::HelpViewController</name>
    <message>
        <source>Manual</source>
        <translation>Handbuch</translation>
    </message>
    <message>
        <source>Pages</source>
        <translation>Seiten</translation>
    </message>
    <message>
        <source>Manual text</source>
        <translation>Handbuchtext</translation>
    </message>
    <message>
        <source>Text</source>
        <translation>Text</translation>
    </message>
</context>
<context>
    <name>quorbel::HelpWindowController</name>
    <message>
        <source>Quorbel Sparse Bundle Utility Help</source>
        <translation>Hilfe zu Quorbel Sparse Bundle Utility</translation>
    </message>
</context>
<context>
    <name>quorbel::MainWindow</name>
    <message>
        <source>&amp;View</source>
        <translation>&amp;Ansicht</translation>
    </message>
    <message>
        <source>Stop the running operation and quit?</source>
        <translation>Den laufenden Vorgang stoppen und beenden?</translation>
    </message>
    <message>
        <source>&amp;Stop &amp;&amp; Quit</source>
        <translation>&amp;Stoppen &amp;&amp; Beenden</translation>
    </message>
</context>
<context>
    <name>quorbel::Operation</name>
    <message>
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>%1 failed: %2</source>
        <translation>%1 fehlgeschlagen: %2</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Gestoppt</translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation>Abgebrochen</translation>
    </message>
    <message>
        <source>Nothing was done: %1</source>
        <translation>Nichts wurde getan: %1</translation>
    </message>
    <message>
        <source>Ready</source>
        <translation>Bereit</translation>
    </message>
    <message>
        <source>“%1” is not a sparse bundle</source>
        <translation>„%1“ ist kein Sparse-Bundle</translation>
    </message>
</context>
<context>
    <name>quorbel::PasswordViewController</name>
    <message>
        <source>The two entries differ: type the password again</source>
        <translation>Die beiden Eingaben unterscheiden sich: Geben Sie das Passwort erneut ein</translation>
    </message>
    <message>
        <source>The two passwords differ.</source>
        <translation>Die beiden Passwörter unterscheiden sich.</translation>
    </message>
</context>
<context>
    <name>quorbel::ResizeOperation</name>
    <message>
        <source>Resize</source>
        <translation>Größe ändern</translation>
    </message>
    <message>
        <source>the maximum size must be a number above 0</source>
        <translation>die maximale Größe muss eine Zahl über 0 sein</translation>
    </message>
</context>
<context>
    <name>quorbel::ViewController</name>
    <message>
        <source>A sparse bundle cannot be saved inside another one. Choose a folder outside “%1”.</source>
        <translation>Ein Sparse-Bundle kann nicht in einem anderen gesichert werden. Wählen Sie einen Ordner außerhalb von „%1“.</translation>
    </message>
    <message>
        <source>“%1” already exists. Choose another name.</source>
        <translation>„%1“ ist bereits vorhanden. Wählen Sie einen anderen Namen.</translation>
    </message>
    <message>
        <source>Sparse bundle:</source>
        <translation>Sparse-Bundle:</translation>
    </message>
    <message>
        <source>Type the password of the new sparse bundle twice.</source>
        <translation>Geben Sie das Passwort des neuen Sparse-Bundles zweimal ein.</translation>
    </message>
    <message>
        <source>Type the new password of the sparse bundle twice.</source>
        <translation>Geben Sie das neue Passwort des Sparse-Bundles zweimal ein.</translation>
    </message>
    <message>
        <source>Larger Text</source>
        <translation>Größerer Text</translation>
    </message>
    <message>
        <source>Smaller Text</source>
        <translation>Kleinerer Text</translation>
    </message>
    <message>
        <source>Running: %1…</source>
        <translation>Läuft: %1 …</translation>
    </message>
    <message>
        <source>%1% — %2</source>
        <translation>%1 % – %2</translation>
    </message>
    <message>
        <source>%1 has ended</source>
        <translation>%1 ist beendet</translation>
    </message>
    <message>
        <source>%1%</source>
        <translation>%1 %</translation>
    </message>
    <message numerus="yes">
        <source>%n s</source>
        <translation><numerusform>%n s</numerusform><numerusform>%n s</numerusform></translation>
    </message>
    <message numerus="yes">
        <source>%n min</source>
        <translation><numerusform>%n min</numerusform><numerusform>%n min</numerusform></translation>
    </message>
    <message numerus="yes">
        <source>%n h</source>
        <translation><numerusform>%n h</numerusform><numerusform>%n h</numerusform></translation>
    </message>
    <message>
        <source>%1% — about %2 left</source>
        <translation>%1 % – noch etwa %2</translation>
    </message>
    <message>
        <source>Not accepted: %1</source>
        <translation>Nicht angenommen: %1</translation>
    </message>
    <message>
        <source>a number above 0</source>
        <translation>eine Zahl über 0</translation>
    </message>
    <message>
        <source>a whole number; 0 lets Create choose, Change band size needs 1 or more</source>
        <translation>eine ganze Zahl; bei 0 wählt Erstellen, Bandgröße ändern braucht 1 oder mehr</translation>
    </message>
</context>
<context>
    <name>quorbel::askpass::PasswordPrompt</name>
    <message>
        <source>Password:</source>
        <translation>Passwort:</translation>
    </message>
    <message>
        <source>Password — Quorbel Sparse Bundle Utility</source>
        <translation>Passwort – Quorbel Sparse Bundle Utility</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Passwort</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
</context>
</TS>
