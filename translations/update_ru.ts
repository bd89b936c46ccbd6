<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Список изменений</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Загрузка...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Не удалось загрузить список изменений.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quorvel 3 Client Update</source>
        <translation>Обновление клиента Quorvel 3</translation>
    </message>
    <message>
        <source>Quorvel web site</source>
        <translation>Сайт Quorvel</translation>
    </message>
    <message>
        <source>News</source>
        <translation>Новости</translation>
    </message>
    <message>
        <source>Banner</source>
        <translation>Баннер</translation>
    </message>
    <message>
        <source>Update log</source>
        <translation>Журнал обновления</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Подробности</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Показать изменения</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Начать обновление</translation>
    </message>
    <message>
        <source>Quorvel 3 updater &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</source>
        <translation>Обновление Quorvel 3 &amp;middot; &lt;a href=&quot;%1&quot;&gt;%2&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Стабильный</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Бета</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Альфа</translation>
    </message>
    <message>
        <source>Update to Quorvel %1</source>
        <translation>Обновление до Quorvel %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Сейчас вы на &lt;strong&gt;канале «%1»&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Вопрос</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Идёт обновление.&lt;/p&gt;&lt;p&gt;Вы действительно хотите его прервать?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>%1 KB / %2 KB</source>
        <translation>%1 КБ / %2 КБ</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 КБ/с</translation>
    </message>
    <message>
        <source>Start Quorvel</source>
        <translation>Запустить Quorvel</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Обновление отменено</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Обновление</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Обновление отменено. Причины можно узнать, нажав «Подробности».</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Нажмите, чтобы открыть «%1://%2»</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Ход обновления</translation>
    </message>
    <message>
        <source>Download speed</source>
        <translation>Скорость загрузки</translation>
    </message>
    <message>
        <source>Downloaded</source>
        <translation>Загружено</translation>
    </message>
    <message>
        <source>Shows or hides the update log</source>
        <translation>Показывает или скрывает журнал обновления</translation>
    </message>
    <message>
        <source>Shows what the new version changes</source>
        <translation>Показывает, что изменилось в новой версии</translation>
    </message>
    <message>
        <source>Installed: %1</source>
        <translation>Установлена: %1</translation>
    </message>
    <message>
        <source>Update starts in %1 s</source>
        <translation>Обновление начнётся через %1 с</translation>
    </message>
    <message>
        <source>Retry Update</source>
        <translation>Повторить обновление</translation>
    </message>
    <message>
        <source>Stopped at %p%</source>
        <translation>Остановлено на %p%</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Нет (больше) известных работающих зеркал</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Зеркало %1 слишком часто давало сбой и удаляется из списка</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Недопустимый номер версии (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Ошибка</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Не удалось получить последнюю версию
клиента с сервера обновлений.</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Сервер обновлений вернул недопустимый номер версии (%1)</translation>
    </message>
    <message>
        <source>An update is already running.</source>
        <translation>Обновление уже выполняется.</translation>
    </message>
</context>
</TS>
