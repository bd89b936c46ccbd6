<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Lista zmian</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Wczytywanie...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Nie udało się wczytać listy zmian.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quorvel 3 Client Update</source>
        <translation>Aktualizacja klienta Quorvel 3</translation>
    </message>
    <message>
        <source>Quorvel web site</source>
        <translation>Witryna Quorvel</translation>
    </message>
    <message>
        <source>News</source>
        <translation>Aktualności</translation>
    </message>
    <message>
        <source>Banner</source>
        <translation>Baner</translation>
    </message>
    <message>
        <source>Update log</source>
        <translation>Dziennik aktualizacji</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Szczegóły</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Pokaż zmiany</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Rozpocznij aktualizację</translation>
    </message>
    <message>
        <source>Quorvel 3 updater &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</source>
        <translation>Aktualizacja Quorvel 3 &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabilny</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alfa</translation>
    </message>
    <message>
        <source>Update to Quorvel %1</source>
        <translation>Aktualizacja do Quorvel %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Obecnie korzystasz z &lt;strong&gt;kanału %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Pytanie</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Trwa aktualizacja.&lt;/p&gt;&lt;p&gt;Czy na pewno chcesz ją przerwać?&lt;/p&gt;</translation>
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
        <translation>Uruchom Quorvel</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualizacja anulowana</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualizacja</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualizacja anulowana. Kliknij „Szczegóły”, aby poznać przyczyny.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Kliknij, aby otworzyć „%1://%2”</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Postęp aktualizacji</translation>
    </message>
    <message>
        <source>Download speed</source>
        <translation>Szybkość pobierania</translation>
    </message>
    <message>
        <source>Downloaded</source>
        <translation>Pobrano</translation>
    </message>
    <message>
        <source>Shows or hides the update log</source>
        <translation>Pokazuje lub ukrywa dziennik aktualizacji</translation>
    </message>
    <message>
        <source>Shows what the new version changes</source>
        <translation>Pokazuje, co zmienia nowa wersja</translation>
    </message>
    <message>
        <source>Installed: %1</source>
        <translation>Zainstalowana: %1</translation>
    </message>
    <message>
        <source>Update starts in %1 s</source>
        <translation>Aktualizacja rozpocznie się za %1 s</translation>
    </message>
    <message>
        <source>Retry Update</source>
        <translation>Ponów aktualizację</translation>
    </message>
    <message>
        <source>Stopped at %p%</source>
        <translation>Zatrzymano na %p%</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Brak (kolejnych) znanych działających serwerów lustrzanych</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Serwer lustrzany %1 zawiódł zbyt wiele razy i zostaje usunięty</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Nieprawidłowy numer wersji (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Błąd</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Nie udało się pobrać numeru najnowszej wersji
klienta z serwera aktualizacji.</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Serwer aktualizacji zwrócił nieprawidłowy numer wersji (%1)</translation>
    </message>
    <message>
        <source>An update is already running.</source>
        <translation>Aktualizacja jest już w toku.</translation>
    </message>
</context>
</TS>
