<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Änderungsprotokoll</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Wird geladen...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Das Änderungsprotokoll konnte nicht geladen werden.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quorvel 3 Client Update</source>
        <translation>Quorvel 3 Client-Aktualisierung</translation>
    </message>
    <message>
        <source>Quorvel web site</source>
        <translation>Quorvel-Website</translation>
    </message>
    <message>
        <source>News</source>
        <translation>Neuigkeiten</translation>
    </message>
    <message>
        <source>Banner</source>
        <translation>Banner</translation>
    </message>
    <message>
        <source>Update log</source>
        <translation>Aktualisierungsprotokoll</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Änderungen anzeigen</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Aktualisierung starten</translation>
    </message>
    <message>
        <source>Quorvel 3 updater &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</source>
        <translation>Quorvel 3 Aktualisierung &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabil</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Quorvel %1</source>
        <translation>Aktualisierung auf Quorvel %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie sind derzeit auf dem Kanal &lt;strong&gt;%1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Die Aktualisierung läuft.&lt;/p&gt;&lt;p&gt;Wollen Sie sie wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>%1 KB / %2 KB</source>
        <translation>%1 KB / %2 KB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>Start Quorvel</source>
        <translation>Quorvel starten</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Die Gründe zeigt „Details“.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>„%1://%2“ öffnen</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Fortschritt der Aktualisierung</translation>
    </message>
    <message>
        <source>Download speed</source>
        <translation>Download-Geschwindigkeit</translation>
    </message>
    <message>
        <source>Downloaded</source>
        <translation>Heruntergeladen</translation>
    </message>
    <message>
        <source>Shows or hides the update log</source>
        <translation>Zeigt oder verbirgt das Aktualisierungsprotokoll</translation>
    </message>
    <message>
        <source>Shows what the new version changes</source>
        <translation>Zeigt, was die neue Version ändert</translation>
    </message>
    <message>
        <source>Installed: %1</source>
        <translation>Installiert: %1</translation>
    </message>
    <message>
        <source>Update starts in %1 s</source>
        <translation>Aktualisierung beginnt in %1 s</translation>
    </message>
    <message>
        <source>Retry Update</source>
        <translation>Erneut versuchen</translation>
    </message>
    <message>
        <source>Stopped at %p%</source>
        <translation>Angehalten bei %p%</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Es sind keine (weiteren) funktionierenden Spiegelserver bekannt</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Spiegelserver %1 ist zu oft fehlgeschlagen und wird entfernt</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die neueste Client-Version konnte
nicht vom Aktualisierungsserver abgefragt werden.</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Aktualisierungsserver lieferte eine ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>An update is already running.</source>
        <translation>Es läuft bereits eine Aktualisierung.</translation>
    </message>
</context>
</TS>
