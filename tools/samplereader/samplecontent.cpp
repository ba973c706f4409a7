#include "samplecontent.h"

const std::vector<SampleBook> &sampleBooks()
{
    static const std::vector<SampleBook> books = {
        {"Pride and Prejudice", "Jane Austen",
         {"It is a truth universally acknowledged, that a single man in possession of a good "
          "fortune, must be in want of a wife.",
          "I could easily forgive his pride, if he had not mortified mine.",
          "Vanity and pride are different things, though the words are often used synonymously.",
          "There is a stubbornness about me that never can bear to be frightened at the will of "
          "others.",
          "I declare after all there is no enjoyment like reading!",
          "Till this moment I never knew myself.",
          "A lady's imagination is very rapid; it jumps from admiration to love, from love to "
          "matrimony in a moment.",
          "One cannot be always laughing at a man without now and then stumbling on something "
          "witty."}},
        {"Moby-Dick; or, The Whale", "Herman Melville",
         {"Call me Ishmael.",
          "It is a way I have of driving off the spleen and regulating the circulation.",
          "Better sleep with a sober cannibal than a drunken Christian.",
          "There is a wisdom that is woe; but there is a woe that is madness.",
          "All visible objects, man, are but as pasteboard masks.",
          "I know not all that may be coming, but be it what it will, I'll go to it laughing.",
          "For there is no folly of the beast of the earth which is not infinitely outdone by "
          "the madness of men.",
          "Towards thee I roll, thou all-destroying but unconquering whale."}},
        {"Frankenstein; or, The Modern Prometheus", "Mary Wollstonecraft Shelley",
         {"Beware; for I am fearless, and therefore powerful.",
          "Life, although it may only be an accumulation of anguish, is dear to me, and I will "
          "defend it.",
          "Nothing is so painful to the human mind as a great and sudden change.",
          "I was benevolent and good; misery made me a fiend.",
          "The companions of our childhood always possess a certain power over our minds which "
          "hardly any later friend can obtain.",
          "Learn from me, if not by my precepts, at least by my example, how dangerous is the "
          "acquirement of knowledge."}},
        {"Alice's Adventures in Wonderland", "Lewis Carroll",
         {"\"And what is the use of a book,\" thought Alice, \"without pictures or "
          "conversations?\"",
          "Curiouser and curiouser!",
          "Who in the world am I? Ah, that's the great puzzle!",
          "We're all mad here. I'm mad. You're mad.",
          "Begin at the beginning, and go on till you come to the end: then stop.",
          "It's no use going back to yesterday, because I was a different person then.",
          "Why, sometimes I've believed as many as six impossible things before breakfast."}},
        {"Walden", "Henry David Thoreau",
         {"I went to the woods because I wished to live deliberately, to front only the "
          "essential facts of life.",
          "The mass of men lead lives of quiet desperation.",
          "Our life is frittered away by detail. Simplify, simplify.",
          "Time is but the stream I go a-fishing in.",
          "If a man does not keep pace with his companions, perhaps it is because he hears a "
          "different drummer.",
          "Heaven is under our feet as well as over our heads."}},
        {"Jane Eyre", "Charlotte Brontë",
         {"I am no bird; and no net ensnares me: I am a free human being with an independent "
          "will.",
          "Reader, I married him.",
          "Conventionality is not morality.",
          "I would always rather be happy than dignified.",
          "The soul, fortunately, has an interpreter, often an unconscious but still a truthful "
          "interpreter, in the eye."}},
        {"Анна Каренина", "Лев Толстой",
         {"Все счастливые семьи похожи друг на друга, каждая несчастливая семья несчастлива "
          "по-своему.",
          "Все смешалось в доме Облонских.",
          "Если искать совершенства, то никогда не будешь доволен."}},
        {"The Odyssey", "Homer",
         {"Tell me, O Muse, of that ingenious hero who travelled far and wide after he had "
          "sacked the famous town of Troy.",
          "There is a time for many words, and there is also a time for sleep.",
          "Even his griefs are a joy long after to one that remembers all that he wrought and "
          "endured."}},
    };
    return books;
}

const std::vector<const char *> &sampleNotes()
{
    static const std::vector<const char *> notes = {
        "Opening line: quote this in the essay.",
        "Compare with chapter 3.",
        "So true.",
        "Irony? Check the context again.",
        "Lovely rhythm in this sentence.",
        "Book club question for Thursday.",
        "Look up the historical background.",
        "She changes her mind here \u2014 the turning point.",
        "Favourite passage so far \u2605",
        "Reminds me of the sea chapters.",
    };
    return notes;
}
