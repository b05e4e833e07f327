<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>TForm1</name>
    <message>
        <source>Channel names</source>
        <translation>Названия каналов</translation>
    </message>
    <message>
        <source>Channel name</source>
        <translation>Название канала</translation>
    </message>
    <message>
        <source>Stream addresses</source>
        <translation>Адреса потоков</translation>
    </message>
    <message>
        <source>Stream address</source>
        <translation>Адрес потока</translation>
    </message>
</context>
<context>
    <name>radiolist</name>
    <message>
        <source>Another radiolist is already running on the list in &quot;%1&quot;</source>
        <translation>Другая копия radiolist уже работает со списком в «%1»</translation>
    </message>
    <message>
        <source>The list has %1 names and %2 addresses: stations are added only to a list whose names and addresses pair up</source>
        <translation>В списке %1 названий и %2 адресов: станции добавляются только в список, где названия и адреса идут парами</translation>
    </message>
    <message>
        <source>Cannot create file &quot;%1&quot;. &quot;%2&quot; could not be read (%3), so the list is kept as it is</source>
        <translation>Не удаётся создать файл «%1». Файл «%2» не удалось прочитать (%3), поэтому список оставлен как есть</translation>
    </message>
    <message>
        <source>Cannot create file &quot;%1&quot;. The window has not read it, so it is kept as it is</source>
        <translation>Не удаётся создать файл «%1». Окно его не прочитало, поэтому он оставлен как есть</translation>
    </message>
</context>
<context>
    <name>radiolist::Companion</name>
    <message>
        <source>too many requests</source>
        <translation>слишком много запросов</translation>
    </message>
    <message>
        <source>Saving the song stopped</source>
        <translation>Запись песни прервана</translation>
    </message>
    <message>
        <source>Sleep in %1</source>
        <translation>Выключение через %1</translation>
    </message>
    <message>
        <source>no audio yet</source>
        <translation>звука ещё нет</translation>
    </message>
    <message>
        <source>nothing sounds</source>
        <translation>ничего не звучит</translation>
    </message>
    <message>
        <source>the song ended while its file was made</source>
        <translation>песня закончилась, пока создавался файл</translation>
    </message>
    <message>
        <source>out of memory</source>
        <translation>не хватает памяти</translation>
    </message>
    <message>
        <source>the file could not be written</source>
        <translation>не удалось записать файл</translation>
    </message>
    <message>
        <source>no muxer for the file</source>
        <translation>нет мультиплексора для файла</translation>
    </message>
    <message>
        <source>cannot read the stream&apos;s AAC headers</source>
        <translation>не удаётся прочитать заголовки AAC в потоке</translation>
    </message>
    <message>
        <source>no song on air to save</source>
        <translation>в эфире нет песни, которую можно сохранить</translation>
    </message>
    <message>
        <source>no song on air to save: %1</source>
        <translation>в эфире нет песни, которую можно сохранить: %1</translation>
    </message>
    <message>
        <source>every name for this song is taken</source>
        <translation>все имена для этой песни заняты</translation>
    </message>
    <message>
        <source>Save song</source>
        <translation>Сохранить песню</translation>
    </message>
    <message>
        <source>Saving the song</source>
        <translation>Песня сохраняется</translation>
    </message>
    <message>
        <source>Cannot save the song</source>
        <translation>Не удаётся сохранить песню</translation>
    </message>
    <message>
        <source>Recent titles</source>
        <translation>Недавние песни</translation>
    </message>
    <message>
        <source>Sleep timer</source>
        <translation>Таймер сна</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Выключен</translation>
    </message>
    <message numerus="yes">
        <source>%n minute(s)</source>
        <translation>
            <numerusform>%n минута</numerusform>
            <numerusform>%n минуты</numerusform>
            <numerusform>%n минут</numerusform>
        </translation>
    </message>
    <message>
        <source>Show window</source>
        <translation>Показать окно</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Выход</translation>
    </message>
    <message>
        <source>(none yet)</source>
        <translation>(пока нет)</translation>
    </message>
    <message>
        <source>Level loudness</source>
        <translation>Выравнивать громкость</translation>
    </message>
    <message>
        <source>Export list…</source>
        <translation>Экспорт списка…</translation>
    </message>
    <message>
        <source>Export list</source>
        <translation>Экспорт списка</translation>
    </message>
    <message>
        <source>Playlists (*.m3u *.m3u8)</source>
        <translation>Плейлисты (*.m3u *.m3u8)</translation>
    </message>
    <message>
        <source>List exported</source>
        <translation>Список экспортирован</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>Пауза</translation>
    </message>
    <message>
        <source>Back 30 s</source>
        <translation>Назад на 30 с</translation>
    </message>
    <message>
        <source>Go live</source>
        <translation>В прямой эфир</translation>
    </message>
    <message>
        <source>the stream&apos;s %1 is not saved (MP3, AAC, Vorbis and Opus are)</source>
        <translation>%1 из потока не сохраняется (сохраняются MP3, AAC, Vorbis и Opus)</translation>
    </message>
    <message>
        <source>no audio of the song is kept</source>
        <translation>звук этой песни не сохранился</translation>
    </message>
    <message>
        <source>Notify on new titles</source>
        <translation>Сообщать о новых названиях</translation>
    </message>
    <message>
        <source>Add stations from a file…</source>
        <translation>Добавить станции из файла…</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Add stations</source>
        <translation>Добавить станции</translation>
    </message>
    <message>
        <source>Playlists and station lists (*.m3u *.m3u8 *.pls *.xspf *.txt);;All files (*)</source>
        <translation>Плейлисты и списки станций (*.m3u *.m3u8 *.pls *.xspf *.txt);;Все файлы (*)</translation>
    </message>
    <message>
        <source>About radiolist</source>
        <translation>О программе radiolist</translation>
    </message>
    <message>
        <source>A personal list of internet radio channels, played as you choose them.</source>
        <translation>Личный список интернет-радиостанций: играет та, которую вы выбрали.</translation>
    </message>
    <message>
        <source>Find stations…</source>
        <translation>Найти станции…</translation>
    </message>
    <message>
        <source>%1 has moved: use the new address?</source>
        <translation>Станция «%1» переехала: использовать новый адрес?</translation>
    </message>
    <message>
        <source>No new address is offered for line %1</source>
        <translation>Для строки %1 новый адрес не предложен</translation>
    </message>
    <message>
        <source>Line %1 no longer holds the old address</source>
        <translation>В строке %1 уже не старый адрес</translation>
    </message>
    <message>
        <source>Use the new address</source>
        <translation>Использовать новый адрес</translation>
    </message>
</context>
<context>
    <name>radiolist::StationFinder</name>
    <message>
        <source>Find stations</source>
        <translation>Поиск станций</translation>
    </message>
    <message>
        <source>Station name</source>
        <translation>Название станции</translation>
    </message>
    <message>
        <source>Any</source>
        <translation>Любой</translation>
    </message>
    <message>
        <source> kbit/s</source>
        <translation> кбит/с</translation>
    </message>
    <message>
        <source>&amp;Working only</source>
        <translation>&amp;Только работающие</translation>
    </message>
    <message>
        <source>&amp;Play</source>
        <translation>&amp;Играть</translation>
    </message>
    <message>
        <source>&amp;Add to list</source>
        <translation>&amp;Добавить в список</translation>
    </message>
    <message>
        <source>Tag</source>
        <translation>Тег</translation>
    </message>
    <message>
        <source>Country</source>
        <translation>Страна</translation>
    </message>
    <message>
        <source>Format</source>
        <translation>Формат</translation>
    </message>
    <message>
        <source>Lowest bitrate</source>
        <translation>Наименьший битрейт</translation>
    </message>
    <message>
        <source>Working only</source>
        <translation>Только работающие</translation>
    </message>
    <message>
        <source>Stations found</source>
        <translation>Найденные станции</translation>
    </message>
    <message>
        <source>Play</source>
        <translation>Играть</translation>
    </message>
    <message>
        <source>Add to list</source>
        <translation>Добавить в список</translation>
    </message>
    <message>
        <source>Search status</source>
        <translation>Состояние поиска</translation>
    </message>
    <message>
        <source>&amp;Search:</source>
        <translation>&amp;Поиск:</translation>
    </message>
    <message>
        <source>&amp;Tag:</source>
        <translation>&amp;Тег:</translation>
    </message>
    <message>
        <source>&amp;Country:</source>
        <translation>&amp;Страна:</translation>
    </message>
    <message>
        <source>&amp;Format:</source>
        <translation>&amp;Формат:</translation>
    </message>
    <message>
        <source>&amp;Lowest bitrate:</source>
        <translation>&amp;Наименьший битрейт:</translation>
    </message>
    <message>
        <source>Searching…</source>
        <translation>Идёт поиск…</translation>
    </message>
    <message numerus="yes">
        <source>%n station(s) found</source>
        <translation>
            <numerusform>Найдена %n станция</numerusform>
            <numerusform>Найдено %n станции</numerusform>
            <numerusform>Найдено %n станций</numerusform>
        </translation>
    </message>
    <message>
        <source>no directory server was found</source>
        <translation>не найден ни один сервер каталога</translation>
    </message>
    <message>
        <source>the directory server %1 cannot be reached</source>
        <translation>сервер каталога %1 недоступен</translation>
    </message>
    <message>
        <source>the directory did not answer in time</source>
        <translation>каталог не ответил вовремя</translation>
    </message>
    <message>
        <source>the directory server %1 answered with error %2</source>
        <translation>сервер каталога %1 ответил ошибкой %2</translation>
    </message>
    <message>
        <source>the directory server %1 gave an answer that cannot be read</source>
        <translation>сервер каталога %1 дал ответ, который не удаётся прочитать</translation>
    </message>
    <message>
        <source>the directory server %1 gave an answer too large</source>
        <translation>сервер каталога %1 дал слишком большой ответ</translation>
    </message>
    <message>
        <source>the directory server %1 gave an answer nested too deep</source>
        <translation>сервер каталога %1 дал ответ со слишком глубокой вложенностью</translation>
    </message>
    <message>
        <source>the directory server %1 is on this computer&apos;s own network</source>
        <translation>сервер каталога %1 находится в собственной сети этого компьютера</translation>
    </message>
    <message>
        <source>the station has no directory id</source>
        <translation>у станции нет идентификатора в каталоге</translation>
    </message>
    <message>
        <source>too many directory requests at once</source>
        <translation>слишком много запросов к каталогу сразу</translation>
    </message>
    <message>
        <source>the search was cancelled</source>
        <translation>поиск отменён</translation>
    </message>
</context>
<context>
    <name>radiolist::StationIntake</name>
    <message>
        <source>Cannot open file &quot;%1&quot;. %2</source>
        <translation>Не удаётся открыть файл «%1». %2</translation>
    </message>
    <message>
        <source>It is not a regular file</source>
        <translation>Это не обычный файл</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not an address that can be played</source>
        <translation>«%1» — не адрес, который можно проиграть</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a file</source>
        <translation>«%1» — не файл</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is an HLS playlist: add its address instead</source>
        <translation>«%1» — плейлист HLS: добавьте вместо него его адрес</translation>
    </message>
    <message>
        <source>&quot;%1&quot; holds no station addresses</source>
        <translation>В «%1» нет адресов станций</translation>
    </message>
    <message>
        <source>Cannot create file &quot;%1&quot;. %2</source>
        <translation>Не удаётся создать файл «%1». %2</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not an address that can be added: it holds a line break, a control character or one that shows nothing</source>
        <translation>«%1» — не адрес, который можно добавить: в нём перевод строки, управляющий или невидимый символ</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not an address that can be added: it is longer than %2</source>
        <translation>«%1» — не адрес, который можно добавить: он длиннее %2</translation>
    </message>
    <message numerus="yes">
        <source>%n past the 10,000 stations taken at a time</source>
        <translation>
            <numerusform>%n сверх 10 000 станций за раз</numerusform>
            <numerusform>%n сверх 10 000 станций за раз</numerusform>
            <numerusform>%n сверх 10 000 станций за раз</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n not an http or https address</source>
        <translation>
            <numerusform>%n не адрес http или https</numerusform>
            <numerusform>%n не адреса http или https</numerusform>
            <numerusform>%n не адресов http или https</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n with a line break, a control character or one that shows nothing in the address</source>
        <translation>
            <numerusform>%n с переводом строки, управляющим или невидимым символом в адресе</numerusform>
            <numerusform>%n с переводом строки, управляющим или невидимым символом в адресе</numerusform>
            <numerusform>%n с переводом строки, управляющим или невидимым символом в адресе</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n with an address longer than 16 KiB</source>
        <translation>
            <numerusform>%n с адресом длиннее 16 КиБ</numerusform>
            <numerusform>%n с адресом длиннее 16 КиБ</numerusform>
            <numerusform>%n с адресом длиннее 16 КиБ</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n that would make a list file larger than the 32 MiB the program reads</source>
        <translation>
            <numerusform>%n, с которой файл списка стал бы больше 32 МиБ, читаемых программой</numerusform>
            <numerusform>%n, с которыми файл списка стал бы больше 32 МиБ, читаемых программой</numerusform>
            <numerusform>%n, с которыми файл списка стал бы больше 32 МиБ, читаемых программой</numerusform>
        </translation>
    </message>
    <message>
        <source>&quot;%1&quot;: more than 16 MiB of files at a time</source>
        <translation>«%1»: больше 16 МиБ файлов за раз</translation>
    </message>
    <message numerus="yes">
        <source>%n already in the list</source>
        <translation>
            <numerusform>%n уже в списке</numerusform>
            <numerusform>%n уже в списке</numerusform>
            <numerusform>%n уже в списке</numerusform>
        </translation>
    </message>
    <message>
        <source>Stations added: %1. Left out: %2.</source>
        <translation>Добавлено станций: %1. Пропущено: %2.</translation>
    </message>
</context>
<context>
    <name>radiolist::StationTableModel</name>
    <message>
        <source>%1 %2 kbit/s</source>
        <translation>%1 %2 кбит/с</translation>
    </message>
    <message>
        <source>yes</source>
        <translation>да</translation>
    </message>
    <message>
        <source>no</source>
        <translation>нет</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Название</translation>
    </message>
    <message>
        <source>Country</source>
        <translation>Страна</translation>
    </message>
    <message>
        <source>Format</source>
        <translation>Формат</translation>
    </message>
    <message>
        <source>Tags</source>
        <translation>Теги</translation>
    </message>
    <message>
        <source>Votes</source>
        <translation>Голоса</translation>
    </message>
    <message>
        <source>Working</source>
        <translation>Работает</translation>
    </message>
</context>
</TS>
